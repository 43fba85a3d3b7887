#pragma once
// Signatures for the instruction at an RVA, grown by whole instructions until they match once with
// the margin asked: what a plug-in developer adds to the pattern table when a game update broke a
// pattern and the instruction was found again. The routes to a place that has none of its own are
// in routes.hpp.

#include "scan/error.hpp"
#include "scan/image/code_walk.hpp"
#include "scan/image/image.hpp"
#include "scan/signature/signature.hpp"

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
    std::size_t margin = 0;                // as marginOf measures it (near.hpp), see below
};

// How far a made signature's margin is measured once it reaches the margin asked: on to its
// exact value, as shown to the user, or not at all (the margin asked is kept), where the
// signature is only searched for and the search past it would cost a few passes over the image.
enum class MarginMeasure { exact, upToAsked };

// The margin a made signature is grown to by default: a game update that changes one byte
// elsewhere cannot make it match a second place.
inline constexpr std::size_t defaultMargin = 2;

// The shortest signature that starts at rva, is made of whole instructions, stays inside its
// function (where the exception directory gives the function's extent) and matches exactly once
// in the image. Every byte is wildcarded that a relink or moved data changes: RIP-relative
// displacements and relative branch targets; displacements and immediates of 4 or more bytes
// holding an address inside the image (which the relocation table fixes up); and 32-bit
// displacements added to a register that holds the image base there (image-relative addressing,
// see code_walk.hpp). Every other structure or stack offset stays fixed. A notFound error, with
// the reason, when there is none within longestSignature bytes or the function, or an
// instruction cannot be decoded there. Every signature made is grown by whole instructions, within
// the same bounds, until its margin is at least `margin`; where none reaches it, the one with the
// widest margin within reach, the shortest of those. The same holds for every route (routes.hpp).
Outcome<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva,
                                     std::size_t margin = 1,
                                     MarginMeasure measure = MarginMeasure::exact);

// Where the code at the place occurs elsewhere too, a signature that starts at a later
// instruction of the same function, of those within the function's first mostInterior
// instructions from the place (those from notBefore on, where given): the place is its match
// minus (rva - place).
inline constexpr std::size_t mostInterior = 24;
std::optional<MadeSignature> makeInteriorSignature(const ExecutableImage& image,
                                                   std::uint64_t place, std::size_t margin = 1,
                                                   std::uint64_t notBefore = 0,
                                                   MarginMeasure measure = MarginMeasure::exact);

// Where a signature first checked in a growth (the one up to through) matched: its start, itself,
// and its places, when few enough were found to keep them.
struct FirstPlaces {
    std::uint64_t start = 0;
    Signature signature;
    std::optional<std::vector<std::uint64_t>> places;
};

// A growth that never matched once: its start and the whole signature it grew, which matches
// twice or more.
struct NeverOnce {
    std::uint64_t start = 0;
    Signature signature;
};

// The shortest signature of whole instructions from start that covers at least up to through,
// ends at limit at the latest, matches once and has at least the margin asked for (else the
// widest margin within reach, the shortest such); imageBase holds the registers that hold the
// image base at start. Every route grows its signatures so. Growths from ever earlier starts to
// the same through share `known`: one that covers the last one's first signature matches only
// among its places, so those are not searched for again; each growth leaves its own there.
// Growths from ever later starts share `neverOnce`: a signature that lies within the one an
// earlier growth left there matches twice or more without a search; each growth that fails
// leaves its own there.
Outcome<MadeSignature> growSignature(const ExecutableImage& image, std::uint64_t start,
                                     std::uint64_t through, std::uint64_t limit,
                                     RegisterSet imageBase, std::size_t margin,
                                     MarginMeasure measure = MarginMeasure::exact,
                                     FirstPlaces* known = nullptr, NeverOnce* neverOnce = nullptr);

} // namespace scan
