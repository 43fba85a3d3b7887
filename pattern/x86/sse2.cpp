// The kernel on 16-byte SSE2 registers, which every x86-64 processor has.

#include "blocks.hpp"

#include <emmintrin.h>

namespace {

struct Sse2 {
    using Register = __m128i;
    using Hits = __m128i;
    static constexpr std::size_t width = 16;
    // None: this loop reads slowly enough for the processor's own prefetching, and asking as
    // well only takes load slots from it (measured, README).
    static constexpr std::uintptr_t ahead = 0;
    ORVELIN_READS_WHOLE_IMAGE static Register load(std::uintptr_t at) {
        return _mm_load_si128(reinterpret_cast<const __m128i*>(at));
    }
    ORVELIN_READS_WHOLE_IMAGE static Register loadu(std::uintptr_t at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    }
    static Register splat(unsigned char value) { return _mm_set1_epi8(static_cast<char>(value)); }
    static Hits hits(Register bytes, Register value, Register later, Register laterValue) {
        return _mm_and_si128(_mm_cmpeq_epi8(bytes, value), _mm_cmpeq_epi8(later, laterValue));
    }
    static Hits either(Hits a, Hits b) { return _mm_or_si128(a, b); }
    static bool none(Hits a) { return _mm_movemask_epi8(a) == 0; }
    static bool noneOf(Hits a, Hits b) { return none(either(a, b)); }
    ORVELIN_READS_WHOLE_IMAGE static std::uint64_t bits(std::uintptr_t at, Register value) {
        std::uint64_t all = 0;
        for (std::size_t part = 0; part < 4; ++part) {
            const auto lanes = static_cast<unsigned>(
                _mm_movemask_epi8(_mm_cmpeq_epi8(loadu(at + 16 * part), value)));
            all |= std::uint64_t{lanes} << (16 * part);
        }
        return all;
    }
};

} // namespace

std::size_t pattern_scan::scanAllSse2(const unsigned char* start, std::size_t end,
                                      const Prepared* patterns, std::size_t count,
                                      const Recorder& recorder, bool& stopped) {
    return scanAllChunks<Sse2>(start, end, patterns, count, recorder, stopped);
}
