#pragma once
// Inside the pattern scan: what the dispatcher hands the vector kernels, one per instruction set
// (x86/sse2.cpp, x86/avx2.cpp, x86/avx512.cpp). Only the library's own sources include it.

#include "pattern/kernels.hpp"
#include "pattern/pattern.hpp"

#include <cstddef>
#include <cstdint>

namespace pattern_scan {

// A pattern ready for the vector filter: at every candidate position the filter compares two of
// its fixed bytes (the anchors); only candidates that pass are compared in full.
struct Prepared {
    const char* bytes;
    const char* mask;
    std::size_t length;
    std::size_t anchorOffset[2];
    unsigned char anchorValue[2];
};

// Chooses the anchors of a pattern that has a fixed byte within anchorReach: the two rarest fixed
// bytes there that are not neighbours, a fixed byte after a wildcard (an operand's top byte)
// counting as common.
Prepared prepare(const BytePattern& pattern, std::size_t length, const ByteWeights& weights);

// The most patterns one pass filters for; more are scanned in further passes.
inline constexpr std::size_t kernelWidth = 4;

// Where a kernel hands each match: record(context, pattern index, match); false asks it to stop.
struct Recorder {
    bool (*record)(void* context, std::size_t pattern, const unsigned char* match);
    void* context;
};

// A kernel looks for every match of up to kernelWidth patterns at candidate positions 0, 1, ...
// below end, which no pattern's last candidate may be below (every candidate < end leaves the
// whole pattern inside the range). Each match is handed to the recorder, each pattern's in
// ascending order, until it asks to stop, which sets stopped. Returns the position from which the
// patterns are to be looked at further, byte by byte up to their own last candidate.
using AllKernel = std::size_t (*)(const unsigned char* start, std::size_t end,
                                  const Prepared* patterns, std::size_t count,
                                  const Recorder& recorder, bool& stopped);
std::size_t scanAllSse2(const unsigned char* start, std::size_t end, const Prepared* patterns,
                        std::size_t count, const Recorder& recorder, bool& stopped);
std::size_t scanAllAvx2(const unsigned char* start, std::size_t end, const Prepared* patterns,
                        std::size_t count, const Recorder& recorder, bool& stopped);
std::size_t scanAllAvx512(const unsigned char* start, std::size_t end, const Prepared* patterns,
                          std::size_t count, const Recorder& recorder, bool& stopped);

// Every match of any number of patterns with the kernel, kernelWidth patterns a pass; the first
// match of each, the pass ending once each has one.
void matchEachWith(AllKernel kernel, const unsigned char* start, std::uint32_t size,
                   std::span<const BytePattern> patterns, const MatchVisitor& found,
                   const ByteWeights* weights = nullptr);
void firstMatchesWith(AllKernel kernel, const unsigned char* start, std::uint32_t size,
                      std::span<const BytePattern> patterns, std::span<const unsigned char*> firsts,
                      const ByteWeights* weights = nullptr);

} // namespace pattern_scan
