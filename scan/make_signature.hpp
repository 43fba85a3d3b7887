#pragma once
// Signatures for the instruction at an RVA: what a plug-in developer adds to the pattern table when
// a game update broke a pattern and the instruction was found again. Where the code at the place
// is not unique, a signature of an instruction elsewhere that refers to the place leads there.

#include "scan/executable.hpp"
#include "scan/references.hpp"
#include "scan/signature.hpp"

#include <optional>
#include <string>
#include <vector>

namespace scan {

// Longest signature looked for, in bytes.
inline constexpr std::size_t longestSignature = 64;

struct MadeSignature {
    Signature signature;
    std::uint64_t rva = 0;                 // the one place it matches
    std::vector<std::string> instructions; // the text of each instruction it covers
};

// Why a signature cannot be made at the RVA (it lies outside every executable section, named by
// the section it falls in); empty when it can.
std::optional<std::string> refuseSignatureAt(const ExecutableImage& image, std::uint64_t rva);

// The shortest signature that starts at rva, is made of whole instructions, stays inside its
// function (where the exception directory gives the function's extent) and matches exactly once
// in the image. Every byte is wildcarded that a relink or moved data changes: RIP-relative
// displacements and relative branch targets; displacements and immediates of 4 or more bytes
// holding an address inside the image (which the relocation table fixes up); and 32-bit
// displacements added to a base or index register whose value is an RVA inside one of the
// image's sections (code that addresses data relative to the image base). Empty, with the reason
// in why, when there is none within longestSignature bytes or the function, or an instruction
// cannot be decoded there.
std::optional<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva,
                                           std::string& why);

// Where the code at the place occurs elsewhere too, a signature that starts at a later
// instruction of the same function, of those within the function's first mostInterior
// instructions from the place: the place is its match minus (rva - place).
inline constexpr std::size_t mostInterior = 24;
std::optional<MadeSignature> makeInteriorSignature(const ExecutableImage& image,
                                                   std::uint64_t place);

// A signature over an instruction elsewhere that refers to the place: the place is
// match + instructionOffset + the instruction's length + its signed 32-bit relative field.
struct ReferenceSignature {
    MadeSignature made;
    Reference reference;
    std::size_t instructionOffset = 0; // the referring instruction's, within the signature
};

// Up to `most` reference signatures for the place, each from another function where the
// references allow, each matching exactly once and resolving to the place.
std::vector<ReferenceSignature> makeReferenceSignatures(const ExecutableImage& image,
                                                        std::uint64_t place, std::size_t most = 3);

} // namespace scan
