#pragma once
// The same instruction of a function in two builds of a game: after an update the function may
// have moved, grown or shrunk, but most of its instructions keep their shape and their order.

#include "scan/image/build_functions.hpp"
#include "scan/match/longest_alignment.hpp"
#include "scan/match/policy.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace scan {

// Two builds' functions as they were read for the match, parts and all, aligned without decoding
// anything: the pairs (i, j) of the i-th instruction of from's function and the j-th of to's, as
// one longest common subsequence of their shapes. Where the whole table would exceed the policy's
// cells, the common head and tail are paired first, and a middle still too large is aligned in
// consecutive blocks along its diagonal; a pair is fixed only where every longest alignment of
// the table it came from makes it.
std::vector<AlignedPair> alignFunctions(const BuildFunctions& from, std::uint32_t fromFunction,
                                        const BuildFunctions& to, std::uint32_t toFunction,
                                        const MatchPolicy& policy = matchPolicy);

// The instruction that every longest alignment pairs with the at-th among the pairs (ascending,
// as alignFunctions gives them); empty where none is fixed.
std::optional<std::size_t> counterpartIn(const std::vector<AlignedPair>& pairs, std::size_t at);

// The RVA of the instruction of to's function that stands where the step of from's function
// stands: its fixed pair in alignFunctions.
std::optional<std::uint64_t> alignStep(const BuildFunctions& from, std::uint32_t fromFunction,
                                       std::uint32_t step, const BuildFunctions& to,
                                       std::uint32_t toFunction);

} // namespace scan
