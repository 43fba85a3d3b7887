#pragma once
// How structures moved between two builds: over every pair's aligned instructions, the memory
// displacements that changed while the rest of the instruction stayed, grouped by old value.
// Nothing is reduced to one answer: an old value that went to two new ones is listed twice, each
// with its count and the count of those that disagree.

#include "scan/image/build_functions.hpp"
#include "scan/image/image.hpp"
#include "scan/match/match.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scan {

struct FieldMove {
    std::int64_t oldValue = 0;
    std::int64_t newValue = 0;
    std::size_t instructions = 0; // aligned instructions whose displacement went so
    std::size_t functions = 0;    // the old build's functions they lie in
    // Aligned instructions with the same old displacement that went elsewhere, or kept it.
    std::size_t disagreeing = 0;
    std::size_t kept = 0; // of those, the ones that kept it
};

struct FieldMoves {
    std::vector<FieldMove> moves;  // most instructions first
    std::size_t pairsAligned = 0;  // pairs both builds' read functions hold
    std::size_t instructions = 0;  // aligned where every longest alignment pairs them
    std::size_t displacements = 0; // of those, with a displacement off a register not rsp
    std::size_t moved = 0;         // of those, whose displacement alone changed
};

// Instructions addressed off the stack pointer are left out: a frame's layout changes with every
// local the compiler adds, and says nothing of a structure. The match must hold both builds'
// functions as it read them.
FieldMoves fieldMoves(const ExecutableImage& older, const ExecutableImage& newer,
                      const BuildMatch& match, const Progress& progress = {});

} // namespace scan
