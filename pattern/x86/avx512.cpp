// The kernel on 64-byte AVX-512 registers, with mask registers. The range is read in aligned
// 64-byte chunks (no such load splits a cache line or a page), and each chunk is compared against
// every pattern's first anchor value; only the second anchor, at a distance d after the first, is
// read again, at an offset of d. The two comparisons go straight into one mask register per
// pattern (a comparison under the mask of the other), and one test covers every pattern. A chunk
// with a hit is then looked at exactly. This source alone is compiled for AVX-512; the dispatcher
// calls it only where the processor has AVX-512BW.

#include "kernel.hpp"

#include <immintrin.h>

#include <algorithm>
#include <cstdint>

namespace {

using pattern_scan::kernelWidth;
using pattern_scan::Prepared;

constexpr std::size_t chunk = 64;
// Measured best among 1 to 8 KiB, into either cache, on the benchmark's corpora from memory.
constexpr std::uintptr_t prefetchDistance = 8192;

template <std::size_t N> class Chunks {
public:
    Chunks(const unsigned char* start, const Prepared* const* pattern) : start_(start) {
        for (std::size_t k = 0; k < N; ++k) {
            pattern_[k] = pattern[k];
            // The first anchor is the lower one.
            const std::size_t a = pattern[k]->anchorOffset[0];
            const std::size_t b = pattern[k]->anchorOffset[1];
            const bool swap = b < a;
            low_[k] = swap ? b : a;
            distance_[k] = (swap ? a : b) - low_[k];
            lowValue_[k] = pattern[k]->anchorValue[swap ? 1 : 0];
            highValue_[k] = pattern[k]->anchorValue[swap ? 0 : 1];
            lowest_ = std::min(lowest_, low_[k]);
            reach_ = std::max(reach_, low_[k] + distance_[k]);
            farthest_ = std::max(farthest_, distance_[k]);
        }
    }

    // Every candidate below end; see pattern_scan::AllKernel.
    ORVELIN_READS_WHOLE_IMAGE std::size_t run(std::size_t end,
                                              const pattern_scan::Recorder& recorder,
                                              bool& stopped) const {
        if (end == 0) {
            return 0;
        }
        const auto begin = reinterpret_cast<std::uintptr_t>(start_);
        const std::uintptr_t lastCandidate = begin + end - 1;
        // Every byte a candidate needs lies at or before lastNeeded, inside the range.
        const std::uintptr_t lastNeeded = lastCandidate + reach_;
        const std::uintptr_t first = (begin + lowest_) & ~std::uintptr_t{chunk - 1};
        std::uintptr_t done = begin & ~std::uintptr_t{chunk - 1}; // candidate chunks below: done
        for (std::uintptr_t at = first; done <= lastCandidate;) {
            // The quiet loop reads the chunk at `at` and `farthest_` bytes past its end.
            const std::uintptr_t quietUpTo =
                lastNeeded >= farthest_ + chunk - 1 ? lastNeeded - farthest_ - (chunk - 1) : 0;
            at = quiet(at, quietUpTo);
            // A hit in this chunk is a candidate in it or in the one before; past quietUpTo,
            // every chunk that is left is looked at exactly.
            const std::uintptr_t through = at <= quietUpTo ? at : lastCandidate;
            // Chunks before the one ahead of `at` had no hit in themselves or in the next: no
            // candidate there.
            done = std::max(done, at - chunk);
            for (; done <= through && done <= lastCandidate; done += chunk) {
                if (!recordChunk(done, begin, lastCandidate, lastNeeded, recorder)) {
                    stopped = true;
                    return end;
                }
            }
            at += chunk;
        }
        return end;
    }

private:
    // The first chunk from `at` on, up to upTo, in which a pattern's anchors hold (its position
    // plus the pattern's first anchor in the chunk); past upTo when none does. Calls nothing, so
    // that every value stays in a register.
    ORVELIN_READS_WHOLE_IMAGE std::uintptr_t quiet(std::uintptr_t at, std::uintptr_t upTo) const {
        __m512i low[N];
        __m512i high[N];
        std::size_t distance[N];
#pragma GCC unroll 4
        for (std::size_t k = 0; k < N; ++k) {
            low[k] = _mm512_set1_epi8(static_cast<char>(lowValue_[k]));
            high[k] = _mm512_set1_epi8(static_cast<char>(highValue_[k]));
            distance[k] = distance_[k];
        }
        // Two chunks a step, one test for both; the memory prefetchDistance ahead is asked into
        // the first-level cache.
        const auto hits = [&](std::uintptr_t from) {
            const __m512i bytes = _mm512_load_si512(reinterpret_cast<const void*>(from));
            __mmask64 any = 0;
#pragma GCC unroll 4
            for (std::size_t k = 0; k < N; ++k) {
                const __m512i later =
                    _mm512_loadu_si512(reinterpret_cast<const void*>(from + distance[k]));
                any = _kor_mask64(any, _mm512_mask_cmpeq_epi8_mask(
                                           _mm512_cmpeq_epi8_mask(bytes, low[k]), later, high[k]));
            }
            return any;
        };
        for (; at + chunk <= upTo; at += 2 * chunk) {
            _mm_prefetch(reinterpret_cast<const char*>(at + prefetchDistance), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(at + prefetchDistance + chunk), _MM_HINT_T0);
            if (!_kortestz_mask64_u8(_kor_mask64(hits(at), hits(at + chunk)), 0)) {
                return _kortestz_mask64_u8(hits(at), 0) ? at + chunk : at;
            }
        }
        if (at <= upTo && _kortestz_mask64_u8(hits(at), 0)) {
            at += chunk;
        }
        return at;
    }

    // The bytes [at + offset, at + offset + 64) that lie in [from, to], others zero, read without
    // touching any byte outside.
    ORVELIN_READS_WHOLE_IMAGE static __m512i bytesWithin(std::uintptr_t at, std::uintptr_t from,
                                                         std::uintptr_t to) {
        std::uint64_t inside = ~std::uint64_t{0};
        if (at < from) {
            inside = from - at >= chunk ? 0 : inside << (from - at);
        }
        if (to < at) {
            inside = 0;
        } else if (to - at < chunk - 1) {
            inside &= ~std::uint64_t{0} >> (chunk - 1 - (to - at));
        }
        return _mm512_maskz_loadu_epi8(inside, reinterpret_cast<const void*>(at));
    }

    // The candidates of the chunk at `at` that lie in the range, compared in full, each pattern's
    // in ascending order; false when the recorder asked to stop.
    ORVELIN_READS_WHOLE_IMAGE bool recordChunk(std::uintptr_t at, std::uintptr_t begin,
                                               std::uintptr_t lastCandidate,
                                               std::uintptr_t lastNeeded,
                                               const pattern_scan::Recorder& recorder) const {
        std::uint64_t inRange = ~std::uint64_t{0};
        if (at < begin) {
            inRange &= ~std::uint64_t{0} << (begin - at);
        }
        if (lastCandidate - at < chunk - 1) {
            inRange &= ~std::uint64_t{0} >> (chunk - 1 - (lastCandidate - at));
        }
        for (std::size_t k = 0; k < N; ++k) {
            const std::uintptr_t low = at + low_[k];
            std::uint64_t candidates =
                inRange &
                _mm512_cmpeq_epi8_mask(bytesWithin(low, begin, lastNeeded),
                                       _mm512_set1_epi8(static_cast<char>(lowValue_[k]))) &
                _mm512_cmpeq_epi8_mask(bytesWithin(low + distance_[k], begin, lastNeeded),
                                       _mm512_set1_epi8(static_cast<char>(highValue_[k])));
            for (; candidates != 0; candidates &= candidates - 1) {
                const auto* candidate = reinterpret_cast<const unsigned char*>(
                    at + static_cast<std::uintptr_t>(__builtin_ctzll(candidates)));
                if (matchPattern(candidate, pattern_[k]->bytes, pattern_[k]->mask) &&
                    !recorder.record(recorder.context, k, candidate)) {
                    return false;
                }
            }
        }
        return true;
    }

    const unsigned char* start_;
    const Prepared* pattern_[N];
    std::size_t low_[N];
    std::size_t distance_[N];
    unsigned char lowValue_[N];
    unsigned char highValue_[N];
    std::size_t lowest_ = pattern_scan::anchorReach;
    std::size_t reach_ = 0;
    std::size_t farthest_ = 0;
};

} // namespace

std::size_t pattern_scan::scanAllAvx512(const unsigned char* start, std::size_t end,
                                        const Prepared* patterns, std::size_t count,
                                        const Recorder& recorder, bool& stopped) {
    const Prepared* all[kernelWidth] = {};
    for (std::size_t k = 0; k < count && k < kernelWidth; ++k) {
        all[k] = &patterns[k];
    }
    switch (count) {
    case 1:
        return Chunks<1>(start, all).run(end, recorder, stopped);
    case 2:
        return Chunks<2>(start, all).run(end, recorder, stopped);
    case 3:
        return Chunks<3>(start, all).run(end, recorder, stopped);
    default:
        return Chunks<4>(start, all).run(end, recorder, stopped);
    }
}
