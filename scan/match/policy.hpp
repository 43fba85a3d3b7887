#pragma once
// Every number that tunes how two builds' functions are read and paired, in one place: what
// counts as evidence, how far the matcher looks, and the bounds on its work.

#include "scan/image/build_functions.hpp"

#include <cstddef>
#include <cstdint>

namespace scan {

struct MatchPolicy {
    // The kinds of evidence asked (Evidence values); every kind unless a measurement leaves some
    // out.
    std::uint16_t kinds = 0xFFFF;

    // Reading: what is kept of each function.
    ReadPolicy reading = readPolicy;

    // Pairing.
    int kindsToPair = 2; // independent kinds of evidence that must agree
    std::size_t mostRounds = 64;
    // Shorter code (mov eax, imm; ret) has the same shape in too many functions to tell one by
    // it: it counts as code only by its bytes, and only among at most closeGap functions
    // between the same two pairs; as order in a gap, too, only in such a gap.
    std::uint32_t shortestTold = 3;
    std::size_t closeGap = 16;
    // The cells of one longest-alignment table, at most.
    std::size_t mostCells = std::size_t{1} << 22;
    // Stretches of as many functions on each side of a gap, paired in order.
    std::size_t longestStretch = 64;
    // The functions right after and before a pair, followed while they stay unpaired.
    std::uint32_t farthestNeighbour = 64;
    // An aligned call counts only where aligned instructions lie this close before and after it.
    std::size_t callContext = 1;
    // Where the call sites that vote for a function name one partner this many times as often
    // as all others together, the others' votes are dropped. Above one: only a partner named by
    // more than half of them is looked for.
    std::uint64_t callMajority = 8;
    // A set of callees tells a function only with at least this many: one, a wrapper that only
    // jumps on, where no other unpaired function calls only that one.
    std::size_t fewestCallees = 1;
    // Two functions are alike in size when the smaller has at least 1 / sizeRatio of the
    // larger's instructions.
    std::uint32_t sizeRatio = 2;

    // Similar code: the share of mnemonics two functions have in common, as sets with counts,
    // over the longer; it votes where the best in a gap reaches similarBest and the
    // second best, in the function's row and in its partner's column, stays at or below
    // similarSecond. Only in gaps of at most mostGapCandidates pairs of candidates, and only
    // for code of fewestSimilarSteps instructions or more, as order in a gap: a getter
    // (movzx eax, byte [rcx + 0x61]; ret) has the shapes of countless others, and only its
    // bytes, offset and all, tell it.
    double similarBest = 0.8;
    double similarSecond = 0.5;
    std::uint32_t fewestSimilarSteps = 6;
    std::size_t mostGapCandidates = 4096;
    // Order in a gap: the longest common subsequence of the mnemonics over the longer's count, for
    // code of fewestSimilarSteps instructions or more; shorter code only in the same shape.
    double orderAlike = 0.4;
    // Where a gap of at most closeGap functions a side holds more on one, order only where the
    // code is this alike: a function added beside the others shifts their places, and a place
    // tells less.
    double orderAcrossInsertions = 0.7;
    // Order in a small gap also where the old code is found whole, in order, in the new: code
    // that grew round its old body (a check of its argument added before it), for old code of at
    // least fewestGrownSteps instructions; shorter code is found whole in nearly anything.
    std::uint32_t fewestGrownSteps = 5;
    // A set of constants tells a function only with at least this many.
    std::size_t fewestConstants = 2;
    // A wrapper: at most this many instructions, leading to one function alone; enough for one
    // that also checks its arguments or turns the body's result into another type.
    std::uint32_t longestWrapper = 24;
};

inline constexpr MatchPolicy matchPolicy{};

} // namespace scan
