#include "pattern/pattern.hpp"

#include "kernel.hpp"
#include "pattern/kernels.hpp"

#include <algorithm>
#include <cstring>
#include <optional>

namespace pattern_scan {

bool runs(VectorPath path) {
    switch (path) {
    case VectorPath::avx512:
        return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512f");
    case VectorPath::avx2:
        return __builtin_cpu_supports("avx2");
    default:
        return true;
    }
}

VectorPath widest() {
    return runs(VectorPath::avx512) ? VectorPath::avx512
           : runs(VectorPath::avx2) ? VectorPath::avx2
                                    : VectorPath::sse2;
}

const char* nameOf(VectorPath path) {
    return path == VectorPath::avx512 ? "AVX-512" : path == VectorPath::avx2 ? "AVX2" : "SSE2";
}

namespace {

// The vector kernel's pattern numbers, mapped back to the caller's.
struct Slotted {
    const MatchVisitor* found;
    std::size_t slot[kernelWidth];

    static bool record(void* context, std::size_t k, const unsigned char* match) {
        const auto& slotted = *static_cast<const Slotted*>(context);
        return (*slotted.found)(slotted.slot[k], match);
    }
};

// Every match of up to kernelWidth patterns (numbered from first); false when found stopped it.
bool matchGroup(AllKernel kernel, const unsigned char* start, std::uint32_t size,
                std::span<const BytePattern> patterns, std::size_t first, const MatchVisitor& found,
                const ByteWeights& weights) {
    Slotted slotted{&found, {}};
    Prepared group[kernelWidth];
    std::size_t vectored = 0;
    std::size_t end = std::size_t{size} + 1;
    for (std::size_t k = 0; k < patterns.size(); ++k) {
        const std::size_t length = std::strlen(patterns[k].mask);
        const std::size_t reach = std::min(length, anchorReach);
        if (size >= length && std::memchr(patterns[k].mask, 'x', reach) != nullptr) {
            group[vectored] = prepare(patterns[k], length, weights);
            slotted.slot[vectored++] = first + k;
            end = std::min(end, std::size_t{size} - length + 1);
        }
    }
    bool stopped = false;
    std::size_t from = 0;
    if (vectored > 0) {
        from = kernel(start, end, group, vectored, Recorder{&Slotted::record, &slotted}, stopped);
    }
    // The rest byte by byte, each pattern up to its own last candidate; a pattern the kernel had
    // not (nothing fixed within its first anchorReach bytes) from the start.
    for (std::size_t k = 0; k < patterns.size() && !stopped; ++k) {
        const bool inKernel =
            std::find(slotted.slot, slotted.slot + vectored, first + k) != slotted.slot + vectored;
        const std::size_t length = std::strlen(patterns[k].mask);
        for (std::size_t i = inKernel ? from : 0; i + length <= size && !stopped; ++i) {
            if (matchPattern(start + i, patterns[k].bytes, patterns[k].mask)) {
                stopped = !found(first + k, start + i);
            }
        }
    }
    return !stopped;
}

} // namespace

void matchEachWith(AllKernel kernel, const unsigned char* start, std::uint32_t size,
                   std::span<const BytePattern> patterns, const MatchVisitor& found,
                   const ByteWeights* weights) {
    std::optional<ByteWeights> own;
    const ByteWeights& weighed =
        weights != nullptr ? *weights : own.emplace(weighRange(start, size));
    for (std::size_t from = 0; from < patterns.size(); from += kernelWidth) {
        const std::size_t count = std::min(kernelWidth, patterns.size() - from);
        if (!matchGroup(kernel, start, size, patterns.subspan(from, count), from, found, weighed)) {
            return;
        }
    }
}

void firstMatchesWith(AllKernel kernel, const unsigned char* start, std::uint32_t size,
                      std::span<const BytePattern> patterns, std::span<const unsigned char*> firsts,
                      const ByteWeights* weights) {
    std::fill(firsts.begin(), firsts.end(), nullptr);
    // Every pattern's first match; the pass ends once each has one.
    std::size_t missing = patterns.size();
    matchEachWith(
        kernel, start, size, patterns,
        [&](std::size_t k, const unsigned char* match) {
            if (firsts[k] == nullptr) {
                firsts[k] = match;
                --missing;
            }
            return missing > 0;
        },
        weights);
}

AllKernel kernelOf(VectorPath path) {
    switch (path) {
    case VectorPath::avx512:
        return scanAllAvx512;
    case VectorPath::avx2:
        return scanAllAvx2;
    default:
        return scanAllSse2;
    }
}

void forEachMatchOn(VectorPath path, const unsigned char* start, std::uint32_t size,
                    std::span<const BytePattern> patterns, const MatchVisitor& found,
                    const ByteWeights* weights) {
    matchEachWith(kernelOf(path), start, size, patterns, found, weights);
}

void findPatternsOn(VectorPath path, const unsigned char* start, std::uint32_t size,
                    std::span<const BytePattern> patterns, std::span<const unsigned char*> firsts,
                    const ByteWeights* weights) {
    firstMatchesWith(kernelOf(path), start, size, patterns, firsts, weights);
}

std::pair<std::size_t, std::size_t> anchorsOf(const BytePattern& pattern,
                                              const ByteWeights& weights) {
    const Prepared prepared = prepare(pattern, std::strlen(pattern.mask), weights);
    return {prepared.anchorOffset[0], prepared.anchorOffset[1]};
}

} // namespace pattern_scan

namespace {

// The kernel measured fastest here for this many patterns.
pattern_scan::AllKernel chosenKernel(std::size_t patterns) {
    using namespace pattern_scan;
    const KernelChoice& choice = kernelChoice();
    return kernelOf(patterns > 1 ? choice.several : choice.one);
}

} // namespace

void findPatterns(const unsigned char* start, std::uint32_t size,
                  std::span<const BytePattern> patterns, std::span<const unsigned char*> firsts) {
    pattern_scan::firstMatchesWith(chosenKernel(patterns.size()), start, size, patterns, firsts);
}

void forEachMatch(const unsigned char* start, std::uint32_t size,
                  std::span<const BytePattern> patterns, const MatchVisitor& found,
                  const ByteWeights* weights) {
    pattern_scan::matchEachWith(chosenKernel(patterns.size()), start, size, patterns, found,
                                weights);
}

void countMatches(const unsigned char* start, std::uint32_t size,
                  std::span<const BytePattern> patterns, std::span<PatternMatches> matches,
                  std::size_t keepLowest, std::uint64_t stopAt, const ByteWeights* weights) {
    std::fill(matches.begin(), matches.end(), PatternMatches{});
    if (stopAt == 0) {
        return;
    }
    std::size_t unfinished = patterns.size(); // patterns that have not reached stopAt
    forEachMatch(
        start, size, patterns,
        [&](std::size_t k, const unsigned char* match) {
            PatternMatches& found = matches[k];
            if (found.count == stopAt) {
                return true;
            }
            if (found.lowest.size() < keepLowest) {
                found.lowest.push_back(match);
            }
            if (++found.count == stopAt) {
                --unfinished;
            }
            return unfinished > 0;
        },
        weights);
}

const unsigned char* findPattern(const unsigned char* start, std::uint32_t size, const char* bytes,
                                 const char* mask, std::int32_t offset) {
    const BytePattern pattern{bytes, mask};
    const unsigned char* first = nullptr;
    findPatterns(start, size, std::span(&pattern, 1), std::span(&first, 1));
    if (first == nullptr) {
        return nullptr;
    }
    // Added as an address, not as a pointer: the result may lie outside the range.
    return reinterpret_cast<const unsigned char*>(reinterpret_cast<std::uintptr_t>(first) +
                                                  static_cast<std::uintptr_t>(offset));
}
