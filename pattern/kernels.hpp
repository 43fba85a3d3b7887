#pragma once
// The scan's kernels, one per instruction set, by name: which this processor runs, which the scan
// uses, and the scan on a kernel of the caller's choice. For tests and the benchmark, which run
// every kernel; the scan's users call pattern.hpp alone.

#include "pattern/pattern.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

namespace pattern_scan {

enum class VectorPath { sse2, avx2, avx512 };
inline constexpr VectorPath allPaths[] = {VectorPath::sse2, VectorPath::avx2, VectorPath::avx512};
const char* nameOf(VectorPath path);
// This processor has the kernel's instruction set.
bool runs(VectorPath path);
// The widest kernel this processor runs.
VectorPath widest();
// A kernel's short name, as the environment names it: "sse2", "avx2", "avx512".
const char* keyOf(VectorPath path);
// The kernel a short name names; empty for any other text.
std::optional<VectorPath> pathNamed(std::string_view name);

// The kernel the scan uses, for one pattern and for several in one call, and how it was chosen:
// named by the environment variable below (for tests and the benchmark) where this processor
// runs it, else the fastest of those it runs, each timed on a small buffer of code-like bytes.
struct KernelChoice {
    VectorPath one = VectorPath::sse2;
    VectorPath several = VectorPath::sse2;
    bool forced = false;
    // Each kernel's best time on the buffer, by VectorPath, for one pattern and for three; 0
    // where the processor does not run it, or the choice was forced.
    double alone[std::size(allPaths)] = {};
    double together[std::size(allPaths)] = {};
};
inline constexpr const char* kernelVariable = "ORVELIN_SCAN_KERNEL";
// The choice for the value of the variable (null when it is not set).
KernelChoice chooseKernel(const char* forced);
// The process's choice, made once, on its first scan.
const KernelChoice& kernelChoice();

// Anchors (the bytes the kernels' filter compares) lie within a pattern's first anchorReach bytes;
// a pattern with no fixed byte there is compared byte by byte.
inline constexpr std::size_t anchorReach = 64;

// forEachMatch and findPatterns on the kernel given; with weights, the anchors are chosen by
// them rather than by the range's own sample.
void forEachMatchOn(VectorPath path, const unsigned char* start, std::uint32_t size,
                    std::span<const BytePattern> patterns, const MatchVisitor& found,
                    const ByteWeights* weights = nullptr);
void findPatternsOn(VectorPath path, const unsigned char* start, std::uint32_t size,
                    std::span<const BytePattern> patterns, std::span<const unsigned char*> firsts,
                    const ByteWeights* weights = nullptr);

// The weights a sample gives, as if it had been taken from the range to be scanned: the
// measured code's frequencies or the sample's, whichever is higher, and the sample itself for
// judging pairs.
ByteWeights weighSample(const unsigned char* sample, std::size_t size);

// The pattern's two anchors under the weights, the one compared first first.
std::pair<std::size_t, std::size_t> anchorsOf(const BytePattern& pattern,
                                              const ByteWeights& weights);

} // namespace pattern_scan
