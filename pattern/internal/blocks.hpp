#pragma once
// The vector kernel, written once for any vector width and compiled by each per-instruction-set
// source for its own registers. Everything here has internal linkage, so that no function compiled
// for one instruction set is ever shared with code compiled for another.

#include "kernel.hpp"

#include <xmmintrin.h>

#include <utility>

namespace {

using pattern_scan::kernelWidth;
using pattern_scan::Prepared;

// Vector: Register, width, load, splat, equal, both (and), either (or), none, lanes (bit mask).
// Every function that reads the range is left uninstrumented (ORVELIN_READS_WHOLE_IMAGE).
template <typename Vector, std::size_t N> class Blocks {
public:
    using Register = typename Vector::Register;
    static constexpr std::size_t width = Vector::width;
    // Four blocks a step, one test for all of them.
    static constexpr std::size_t step = 4 * width;
    static_assert(step <= 128, "two cache lines a step are fetched ahead");
    // Into the second-level cache, 2 KiB ahead: the comparisons then overlap the memory's
    // arrival (measured best among 0.5 to 4 KiB, into either cache, on the benchmark's corpora).
    static constexpr std::size_t prefetchDistance = 8192;

    Blocks(const unsigned char* start, const Prepared* const* active) : start_(start) {
        for (std::size_t k = 0; k < N; ++k) {
            pattern_[k] = active[k];
        }
    }

    // Every match in whole blocks from position 0 while a block lies below end, each pattern's in
    // ascending order, handed to the recorder until it asks to stop (then stopped is set).
    // Returns the first position no block reached, or where it stopped.
    std::size_t runAll(std::size_t end, const pattern_scan::Recorder& recorder,
                       bool& stopped) const {
        for (std::size_t i = 0;; i += step) {
            i = quiet(start_, pattern_, i, end);
            std::size_t block = i;
            for (; block + width <= end && block < i + step; block += width) {
                if (!recordAll(block, recorder)) {
                    stopped = true;
                    return block;
                }
            }
            if (i + step > end) {
                return block;
            }
        }
    }

private:
    // The lanes of the block at i whose anchors hold pattern k's values.
    ORVELIN_READS_WHOLE_IMAGE static Register hits(const unsigned char* const (&at)[N][2],
                                                   const Register (&want)[N][2], std::size_t k,
                                                   std::size_t i) {
        return Vector::both(Vector::equal(Vector::load(at[k][0] + i), want[k][0]),
                            Vector::equal(Vector::load(at[k][1] + i), want[k][1]));
    }

    // Pattern K's hits anywhere in the step at i.
    template <std::size_t K>
    ORVELIN_READS_WHOLE_IMAGE static Register
    stepHits(const unsigned char* const (&at)[N][2], const Register (&want)[N][2], std::size_t i) {
        return Vector::either(
            Vector::either(hits(at, want, K, i), hits(at, want, K, i + width)),
            Vector::either(hits(at, want, K, i + 2 * width), hits(at, want, K, i + 3 * width)));
    }

    // Any pattern's hits in the step at i. Written out for every pattern at compile time, so that
    // every index is a constant and every value a register.
    template <std::size_t... K>
    ORVELIN_READS_WHOLE_IMAGE static bool anyHits(const unsigned char* const (&at)[N][2],
                                                  const Register (&want)[N][2], std::size_t i,
                                                  std::index_sequence<K...>) {
        Register any = stepHits<0>(at, want, i);
        ((any = Vector::either(any, stepHits<K + 1>(at, want, i))), ...);
        return !Vector::none(any);
    }

    template <std::size_t... K>
    static void setUp(const unsigned char* start, const Prepared* const (&pattern)[N],
                      const unsigned char* (&at)[N][2], Register (&want)[N][2],
                      std::index_sequence<K...>) {
        ((at[K][0] = start + pattern[K]->anchorOffset[0],
          at[K][1] = start + pattern[K]->anchorOffset[1],
          want[K][0] = Vector::splat(pattern[K]->anchorValue[0]),
          want[K][1] = Vector::splat(pattern[K]->anchorValue[1])),
         ...);
    }

    // The first step at or after i, wholly below end, in which some pattern's anchors hold, or
    // the first step that no longer fits. Calls nothing, so that every value stays in a register.
    ORVELIN_READS_WHOLE_IMAGE static std::size_t quiet(const unsigned char* start,
                                                       const Prepared* const (&pattern)[N],
                                                       std::size_t i, std::size_t end) {
        const unsigned char* at[N][2];
        Register want[N][2];
        setUp(start, pattern, at, want, std::make_index_sequence<N>());
        for (; i + step <= end; i += step) {
            _mm_prefetch(reinterpret_cast<const char*>(start + i + prefetchDistance), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(start + i + prefetchDistance + 64),
                         _MM_HINT_T0);
            if (anyHits(at, want, i, std::make_index_sequence<N - 1>())) {
                return i;
            }
        }
        return i;
    }

    // Hands each candidate of the block at i that matches in full to found(k, match), pattern by
    // pattern and each pattern's in ascending order, until found returns false; false then.
    template <typename Found>
    ORVELIN_READS_WHOLE_IMAGE bool eachFullMatch(std::size_t i, Found&& found) const {
        for (std::size_t k = 0; k < N; ++k) {
            const Prepared& pattern = *pattern_[k];
            const Register hits =
                Vector::both(Vector::equal(Vector::load(start_ + pattern.anchorOffset[0] + i),
                                           Vector::splat(pattern.anchorValue[0])),
                             Vector::equal(Vector::load(start_ + pattern.anchorOffset[1] + i),
                                           Vector::splat(pattern.anchorValue[1])));
            for (auto bits = Vector::lanes(hits); bits != 0; bits &= bits - 1) {
                const unsigned char* candidate = start_ + i + __builtin_ctzll(bits);
                if (matchPattern(candidate, pattern.bytes, pattern.mask) && !found(k, candidate)) {
                    return false;
                }
            }
        }
        return true;
    }

    // Hands every full match in the block at i to the recorder; false when it asks to stop.
    bool recordAll(std::size_t i, const pattern_scan::Recorder& recorder) const {
        return eachFullMatch(i, [&](std::size_t k, const unsigned char* candidate) {
            return recorder.record(recorder.context, k, candidate);
        });
    }

    const unsigned char* start_;
    const Prepared* pattern_[N];
};

template <typename Vector>
std::size_t scanAllBlocks(const unsigned char* start, std::size_t end, const Prepared* patterns,
                          std::size_t count, const pattern_scan::Recorder& recorder,
                          bool& stopped) {
    const Prepared* all[kernelWidth] = {};
    for (std::size_t k = 0; k < count && k < kernelWidth; ++k) {
        all[k] = &patterns[k];
    }
    switch (count) {
    case 1:
        return Blocks<Vector, 1>(start, all).runAll(end, recorder, stopped);
    case 2:
        return Blocks<Vector, 2>(start, all).runAll(end, recorder, stopped);
    case 3:
        return Blocks<Vector, 3>(start, all).runAll(end, recorder, stopped);
    default:
        return Blocks<Vector, 4>(start, all).runAll(end, recorder, stopped);
    }
}

} // namespace
