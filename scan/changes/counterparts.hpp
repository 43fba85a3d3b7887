#pragma once
// Where a place of the old build lies in the new one, as far as the two builds' match and the
// alignment of paired functions know it; and which function of either build holds an RVA.

#include "scan/image/build_functions.hpp"
#include "scan/image/image.hpp"
#include "scan/image/instruction_change.hpp"
#include "scan/match/longest_alignment.hpp"
#include "scan/match/match.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace scan {

class Counterparts {
public:
    // The match must hold both builds' functions as it read them.
    Counterparts(const ExecutableImage& older, const ExecutableImage& newer,
                 const BuildMatch& match);

    const ExecutableImage& older;
    const ExecutableImage& newer;
    const BuildMatch& match;
    const BuildFunctions& olderRead;
    const BuildFunctions& newerRead;

    // The index of the function whose instructions hold rva (a part's function for a place in
    // a part); empty where none does.
    std::optional<std::uint32_t> oldFunctionHolding(std::uint64_t rva) const;
    std::optional<std::uint32_t> newFunctionHolding(std::uint64_t rva) const;

    // The two functions' instructions aligned (alignFunctions), kept for the next question.
    const std::vector<AlignedPair>& alignment(std::uint32_t oldFunction, std::uint32_t newFunction);

    // A relative field's targets (RVAs) in both builds, with the old one's counterpart where it
    // is known: the paired function's start, the instruction the alignment of a paired function
    // puts there, or, for read-only data, the new target when the bytes there are the same.
    TargetValue target(std::uint64_t oldTarget, std::uint64_t newTarget);

private:
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<AlignedPair>> aligned_;
};

} // namespace scan
