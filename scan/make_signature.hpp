#pragma once
// A signature for the instruction at an RVA: what a plug-in developer adds to the pattern table
// when a game update broke a pattern and the instruction was found again.

#include "scan/executable.hpp"
#include "scan/signature.hpp"

#include <optional>
#include <string>
#include <vector>

namespace scan {

// Longest signature looked for, in bytes.
inline constexpr std::size_t longestSignature = 64;

struct MadeSignature {
    Signature signature;
    std::vector<std::string> instructions; // the text of each instruction it covers
};

// The shortest signature that starts at rva, is made of whole instructions and matches exactly
// once in the image, with every byte wildcarded that a relink or a moved global changes:
// RIP-relative displacements, relative call and jump targets, and displacements and immediates
// that hold an address inside the image (which the relocation table fixes up). Empty, with the
// reason in why, when there is none within longestSignature bytes or an instruction cannot be
// decoded there.
std::optional<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva,
                                           std::string& why);

} // namespace scan
