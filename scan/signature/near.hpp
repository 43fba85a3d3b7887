#pragma once
// Near matches: places where a pattern almost matches. After a game update changed a byte of an
// instruction, they show where the instruction went and which byte changed.

#include "pattern/pattern.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scan {

struct NearMatch {
    std::uint64_t offset;                      // from the start of the range
    std::vector<std::size_t> differingOffsets; // within the pattern, ascending
};

// The places in [start, start + size) where the whole pattern lies and at least one but at most
// `differences` of its fixed bytes differ: how many there are, and the first `most` of them, fewest
// differences first, then lowest offset. Weights of the range (its image's), where given, let the
// scan pick rarer bytes to look for first; what is found is the same.
struct NearMatches {
    std::uint64_t total = 0;
    std::vector<NearMatch> listed;
};
NearMatches findNearMatches(const unsigned char* start, std::uint32_t size,
                            const BytePattern& pattern, std::size_t differences,
                            std::size_t most = 5, const ByteWeights* weights = nullptr);

// A signature's margin: the fewest fixed bytes by which any other place of the range differs
// from it, the distance a game update has to close before the signature matches somewhere else
// too. Looked for up to widestMargin differences; widestMargin + 1 when no place differs in so
// few. Where the margin is known to be at least atLeast, fewer are not looked for.
inline constexpr std::size_t widestMargin = 4;
std::size_t marginOf(const unsigned char* start, std::uint32_t size, const BytePattern& pattern,
                     std::size_t atLeast = 1, const ByteWeights* weights = nullptr);

} // namespace scan
