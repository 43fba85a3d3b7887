#pragma once
// Instructions that refer to a place in the image: calls and jumps to it, and RIP-relative
// operands that address it. What leads to a place whose own code occurs elsewhere too.

#include "scan/executable.hpp"

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
};

// Every instruction in the executable sections whose 32-bit relative field makes it refer to the
// place, lowest first.
std::vector<Reference> findReferences(const ExecutableImage& image, std::uint64_t place);

// The place the reference leads to, read from the image's bytes as the plug-in would read them
// at a match: the instruction's end plus its signed 32-bit field.
std::uint64_t referencedRva(const ExecutableImage& image, std::uint64_t instructionRva,
                            std::size_t length, std::size_t fieldOffset);

} // namespace scan
