// The vector kernel on 16-byte SSE2 registers, which every x86-64 processor has.

#include "blocks.hpp"

#include <emmintrin.h>

namespace {

struct Sse2 {
    using Register = __m128i;
    static constexpr std::size_t width = 16;
    ORVELIN_READS_WHOLE_IMAGE static Register load(const unsigned char* at) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
    }
    static Register splat(unsigned char value) { return _mm_set1_epi8(static_cast<char>(value)); }
    static Register equal(Register a, Register b) { return _mm_cmpeq_epi8(a, b); }
    static Register both(Register a, Register b) { return _mm_and_si128(a, b); }
    static Register either(Register a, Register b) { return _mm_or_si128(a, b); }
    static bool none(Register a) { return _mm_movemask_epi8(a) == 0; }
    static unsigned long long lanes(Register a) {
        return static_cast<unsigned>(_mm_movemask_epi8(a));
    }
};

} // namespace

std::size_t pattern_scan::scanAllSse2(const unsigned char* start, std::size_t end,
                                      const Prepared* patterns, std::size_t count,
                                      const Recorder& recorder, bool& stopped) {
    return scanAllBlocks<Sse2>(start, end, patterns, count, recorder, stopped);
}
