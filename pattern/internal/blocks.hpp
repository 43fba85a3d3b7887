#pragma once
// The kernel, written once for any vector width and compiled by each per-instruction-set source
// for its own registers. The range is read in aligned 64-byte chunks (no such load splits a cache
// line or a page), each loaded once and compared against every pattern's first anchor value; only
// the second anchor, at a distance d after the first, is read again, d bytes further on. A chunk
// in which some pattern's anchors hold is then looked at exactly, candidate by candidate.
// Everything here has internal linkage, so that no function compiled for one instruction set is
// ever shared with code compiled for another.

#include "hit_tree.hpp"
#include "kernel.hpp"

#include <xmmintrin.h>

#include <algorithm>
#include <cstdint>

namespace {

using pattern_scan::kernelWidth;
using pattern_scan::Prepared;

constexpr std::size_t chunk = 64;

// Vector: Register, Hits (what one chunk's comparisons leave), width, ahead (how far ahead the
// bytes are asked into the first-level cache as the scan goes; 0 for none), load (aligned), loadu,
// splat, hits (bytes equal to one value where later bytes equal another), either (of two hits),
// none, noneOf (two hits), and bits (64 bytes compared with a value, one bit each). Every function
// that reads the range is left uninstrumented (ORVELIN_READS_WHOLE_IMAGE).
template <typename Vector, std::size_t N> class Chunks {
public:
    using Register = typename Vector::Register;
    using Hits = typename Vector::Hits;
    static constexpr std::size_t parts = chunk / Vector::width;

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
    std::size_t run(std::size_t end, const pattern_scan::Recorder& recorder, bool& stopped) const {
        if (end == 0) {
            return 0;
        }
        const auto begin = reinterpret_cast<std::uintptr_t>(start_);
        const std::uintptr_t lastCandidate = begin + end - 1;
        // Every byte a candidate needs lies at or before lastNeeded, inside the range.
        const std::uintptr_t lastNeeded = lastCandidate + reach_;
        // The quiet loop reads a chunk and farthest_ bytes past its end.
        const std::uintptr_t quietUpTo =
            lastNeeded >= farthest_ + chunk - 1 ? lastNeeded - farthest_ - (chunk - 1) : 0;
        std::uintptr_t done = begin & ~std::uintptr_t{chunk - 1}; // candidate chunks below: done
        for (std::uintptr_t at = (begin + lowest_) & ~std::uintptr_t{chunk - 1};
             done <= lastCandidate; at += chunk) {
            at = quiet(at, quietUpTo);
            // A hit in this chunk is a candidate in it or in the one before; earlier chunks had
            // none. Past quietUpTo every chunk that is left is looked at exactly.
            const std::uintptr_t through = at <= quietUpTo ? at : lastCandidate;
            done = std::max(done, at - chunk);
            for (; done <= through && done <= lastCandidate; done += chunk) {
                if (!recordChunk(done, begin, lastCandidate, lastNeeded, recorder)) {
                    stopped = true;
                    return end;
                }
            }
        }
        return end;
    }

private:
    // The first chunk from `at` on, up to upTo, in which a pattern's anchors hold (its position
    // plus the pattern's first anchor in the chunk); past upTo when none does. Two chunks a step,
    // one test for both. Calls nothing, so that every value stays in a register.
    ORVELIN_READS_WHOLE_IMAGE std::uintptr_t quiet(std::uintptr_t at, std::uintptr_t upTo) const {
        Register low[N];
        Register high[N];
        std::size_t distance[N];
#pragma GCC unroll 4
        for (std::size_t k = 0; k < N; ++k) {
            low[k] = Vector::splat(lowValue_[k]);
            high[k] = Vector::splat(highValue_[k]);
            distance[k] = distance_[k];
        }
        // Each pattern's hits in the chunk at `from`, joined into joined[k] (which the first part
        // sets where fresh). Joined as they come, so that no more hits are held than registers.
        const auto join = [&](std::uintptr_t from, Hits* joined, bool fresh) {
#pragma GCC unroll 4
            for (std::size_t part = 0; part < parts; ++part) {
                const std::uintptr_t here = from + part * Vector::width;
                const Register bytes = Vector::load(here);
#pragma GCC unroll 4
                for (std::size_t k = 0; k < N; ++k) {
                    const Hits found =
                        Vector::hits(bytes, low[k], Vector::loadu(here + distance[k]), high[k]);
                    joined[k] = fresh && part == 0 ? found : Vector::either(joined[k], found);
                }
            }
        };
        const auto quietChunk = [&](std::uintptr_t from) {
            Hits joined[N];
            join(from, joined, true);
            return pattern_scan::noneIn<Vector, N>(joined);
        };
        // With one register a chunk, each chunk's hits apart (no more than N * 2 masks); else
        // both chunks' into one per pattern.
        constexpr std::size_t apart = parts == 1 ? 2 : 1;
        for (; at + chunk <= upTo; at += 2 * chunk) {
            if constexpr (Vector::ahead != 0) {
                _mm_prefetch(reinterpret_cast<const char*>(at + Vector::ahead), _MM_HINT_T0);
                _mm_prefetch(reinterpret_cast<const char*>(at + Vector::ahead + chunk),
                             _MM_HINT_T0);
            }
            Hits joined[apart * N];
            join(at, joined, true);
            join(at + chunk, joined + (apart - 1) * N, apart == 2);
            if (!pattern_scan::noneIn<Vector, apart * N>(joined)) {
                return quietChunk(at) ? at + chunk : at;
            }
        }
        if (at <= upTo && quietChunk(at)) {
            at += chunk;
        }
        return at;
    }

    // Pattern k's candidates among the 64 positions from `at` (whether or not in the range) whose
    // anchors hold, reading no byte outside [begin, lastNeeded].
    ORVELIN_READS_WHOLE_IMAGE std::uint64_t candidates(std::size_t k, std::uintptr_t at,
                                                       std::uintptr_t begin,
                                                       std::uintptr_t lastNeeded) const {
        const std::uintptr_t low = at + low_[k];
        const std::uintptr_t high = low + distance_[k];
        if (low >= begin && high + chunk - 1 <= lastNeeded) {
            return Vector::bits(low, Vector::splat(lowValue_[k])) &
                   Vector::bits(high, Vector::splat(highValue_[k]));
        }
        // At the range's edges, byte by byte.
        std::uint64_t found = 0;
        for (std::size_t j = 0; j < chunk; ++j) {
            const std::uintptr_t first = low + j;
            const std::uintptr_t second = high + j;
            if (first >= begin && second <= lastNeeded &&
                *reinterpret_cast<const unsigned char*>(first) == lowValue_[k] &&
                *reinterpret_cast<const unsigned char*>(second) == highValue_[k]) {
                found |= std::uint64_t{1} << j;
            }
        }
        return found;
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
            for (std::uint64_t bits = inRange & candidates(k, at, begin, lastNeeded); bits != 0;
                 bits &= bits - 1) {
                const auto* candidate = reinterpret_cast<const unsigned char*>(
                    at + static_cast<std::uintptr_t>(__builtin_ctzll(bits)));
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

template <typename Vector>
std::size_t scanAllChunks(const unsigned char* start, std::size_t end, const Prepared* patterns,
                          std::size_t count, const pattern_scan::Recorder& recorder,
                          bool& stopped) {
    const Prepared* all[kernelWidth] = {};
    for (std::size_t k = 0; k < count && k < kernelWidth; ++k) {
        all[k] = &patterns[k];
    }
    switch (count) {
    case 1:
        return Chunks<Vector, 1>(start, all).run(end, recorder, stopped);
    case 2:
        return Chunks<Vector, 2>(start, all).run(end, recorder, stopped);
    case 3:
        return Chunks<Vector, 3>(start, all).run(end, recorder, stopped);
    default:
        return Chunks<Vector, 4>(start, all).run(end, recorder, stopped);
    }
}

} // namespace
