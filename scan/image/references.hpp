#pragma once
// Instructions that refer to a place in the image: calls and jumps to it, and RIP-relative
// operands that address it. What leads to a place whose own code occurs elsewhere too.

#include "scan/image/image.hpp"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace scan {

struct Reference {
    std::uint64_t rva = 0; // the referring instruction's
    std::size_t length = 0;
    std::size_t fieldOffset = 0; // its signed 32-bit relative field, within it
    bool branch = false;         // a call or jump (else an operand's address)
    std::string text;            // mnemonic and operands
    std::uint64_t target = 0;    // the RVA it leads to
};

// Every instruction in the executable sections whose 32-bit relative field leads into
// [lowest, highest], lowest first.
std::vector<Reference> findReferences(const ExecutableImage& image, std::uint64_t lowest,
                                      std::uint64_t highest);

inline std::vector<Reference> findReferences(const ExecutableImage& image, std::uint64_t place) {
    return findReferences(image, place, place);
}

} // namespace scan
