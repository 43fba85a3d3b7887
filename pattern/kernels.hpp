#pragma once
// The scan's kernels, one per instruction set, by name: which this processor runs, which the scan
// uses, and the scan on a kernel of the caller's choice. For tests and the benchmark, which run
// every kernel; the scan's users call pattern.hpp alone.

#include "pattern/pattern.hpp"

#include <cstddef>
#include <cstdint>
#include <span>

namespace pattern_scan {

enum class VectorPath { sse2, avx2, avx512 };
inline constexpr VectorPath allPaths[] = {VectorPath::sse2, VectorPath::avx2, VectorPath::avx512};
const char* nameOf(VectorPath path);
// This processor has the kernel's instruction set.
bool runs(VectorPath path);
// The widest kernel this processor runs: the one the scan uses, chosen once.
VectorPath widest();

// Anchors (the bytes the kernels' filter compares) lie within a pattern's first anchorReach bytes;
// a pattern with no fixed byte there is compared byte by byte.
inline constexpr std::size_t anchorReach = 64;

// forEachMatch and findPatterns on the kernel given.
void forEachMatchOn(VectorPath path, const unsigned char* start, std::uint32_t size,
                    std::span<const BytePattern> patterns, const MatchVisitor& found);
void findPatternsOn(VectorPath path, const unsigned char* start, std::uint32_t size,
                    std::span<const BytePattern> patterns, std::span<const unsigned char*> firsts);

} // namespace pattern_scan
