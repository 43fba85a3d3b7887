#pragma once
// Inside the pattern scan: what the dispatcher hands the vector kernels, one per instruction set
// (scan_sse2.cpp, scan_avx2.cpp), and how it chooses among them. Not for the scan's users.

#include "engine/pattern.hpp"

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

// Chooses the anchors of a pattern that has at least one fixed byte: the two rarest fixed bytes
// that are not neighbours, by how often each value occurs in machine code and in a sample of the
// range to be scanned, a fixed byte after a wildcard (an operand's top byte) counting as common.
struct ByteWeights {
    std::uint32_t weight[256];
};
ByteWeights weighBytes(const unsigned char* start, std::uint64_t size);
Prepared prepare(const BytePattern& pattern, std::size_t length, const ByteWeights& weights);

// Anchors lie within a pattern's first anchorReach bytes; a pattern with no fixed byte there is
// compared byte by byte.
inline constexpr std::size_t anchorReach = 64;

// The most patterns one pass filters for; more are scanned in further passes.
inline constexpr std::size_t kernelWidth = 4;

// Looks for every match of up to kernelWidth patterns at candidate positions 0, 1, ... in whole
// vector blocks while a block lies below end, which no pattern's last candidate may be below
// (every candidate < end leaves the whole pattern inside the range). Each match is handed to
// record (pattern index, match), each pattern's in ascending order, until it returns false, which
// sets stopped. Returns the position from which the patterns are to be looked at further, byte by
// byte up to their own last candidate.
struct Recorder {
    bool (*record)(void* context, std::size_t pattern, const unsigned char* match);
    void* context;
};
using AllKernel = std::size_t (*)(const unsigned char* start, std::size_t end,
                                  const Prepared* patterns, std::size_t count,
                                  const Recorder& recorder, bool& stopped);
std::size_t scanAllSse2(const unsigned char* start, std::size_t end, const Prepared* patterns,
                        std::size_t count, const Recorder& recorder, bool& stopped);
std::size_t scanAllAvx2(const unsigned char* start, std::size_t end, const Prepared* patterns,
                        std::size_t count, const Recorder& recorder, bool& stopped);
std::size_t scanAllAvx512(const unsigned char* start, std::size_t end, const Prepared* patterns,
                          std::size_t count, const Recorder& recorder, bool& stopped);

// The kernels and whether this processor runs them. The scan uses the widest, chosen once; tests
// run each.
enum class VectorPath { sse2, avx2, avx512 };
inline constexpr VectorPath allPaths[] = {VectorPath::sse2, VectorPath::avx2, VectorPath::avx512};
const char* nameOf(VectorPath path);
bool runs(VectorPath path);
// The widest kernel this processor runs: the one the scan uses.
VectorPath widest();
AllKernel kernelOf(VectorPath path);
// Every match of any number of patterns with the kernel, kernelWidth patterns a pass; the first
// match of each, the pass ending once each has one.
void matchEachWith(AllKernel kernel, const unsigned char* start, std::uint32_t size,
                   std::span<const BytePattern> patterns, const MatchVisitor& found);
void firstMatchesWith(AllKernel kernel, const unsigned char* start, std::uint32_t size,
                      std::span<const BytePattern> patterns,
                      std::span<const unsigned char*> firsts);
void forEachMatchOn(VectorPath path, const unsigned char* start, std::uint32_t size,
                    std::span<const BytePattern> patterns, const MatchVisitor& found);
void findPatternsOn(VectorPath path, const unsigned char* start, std::uint32_t size,
                    std::span<const BytePattern> patterns, std::span<const unsigned char*> firsts);

} // namespace pattern_scan
