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
// differences first, then lowest offset.
struct NearMatches {
    std::uint64_t total = 0;
    std::vector<NearMatch> listed;
};
NearMatches findNearMatches(const unsigned char* start, std::uint32_t size,
                            const BytePattern& pattern, std::size_t differences,
                            std::size_t most = 5);

} // namespace scan
