// The kernel on 64-byte AVX-512 registers: a chunk is one register, and the comparisons go
// straight into mask registers, the second under the mask of the first. This source alone is
// compiled for AVX-512; the dispatcher calls it only where the processor has AVX-512BW.

#include "blocks.hpp"

#include <immintrin.h>

namespace {

struct Avx512 {
    using Register = __m512i;
    using Hits = __mmask64;
    static constexpr std::size_t width = 64;
    // A page ahead: the loop reads faster than the hardware's own prefetching keeps up with (see
    // avx2.cpp).
    static constexpr std::uintptr_t ahead = 4096;
    ORVELIN_READS_WHOLE_IMAGE static Register load(std::uintptr_t at) {
        return _mm512_load_si512(reinterpret_cast<const void*>(at));
    }
    ORVELIN_READS_WHOLE_IMAGE static Register loadu(std::uintptr_t at) {
        return _mm512_loadu_si512(reinterpret_cast<const void*>(at));
    }
    static Register splat(unsigned char value) {
        return _mm512_set1_epi8(static_cast<char>(value));
    }
    static Hits hits(Register bytes, Register value, Register later, Register laterValue) {
        return _mm512_mask_cmpeq_epi8_mask(_mm512_cmpeq_epi8_mask(bytes, value), later, laterValue);
    }
    static Hits either(Hits a, Hits b) { return _kor_mask64(a, b); }
    static bool none(Hits a) { return _kortestz_mask64_u8(a, a) != 0; }
    static bool noneOf(Hits a, Hits b) { return _kortestz_mask64_u8(a, b) != 0; }
    ORVELIN_READS_WHOLE_IMAGE static std::uint64_t bits(std::uintptr_t at, Register value) {
        return _mm512_cmpeq_epi8_mask(loadu(at), value);
    }
};

} // namespace

std::size_t pattern_scan::scanAllAvx512(const unsigned char* start, std::size_t end,
                                        const Prepared* patterns, std::size_t count,
                                        const Recorder& recorder, bool& stopped) {
    return scanAllChunks<Avx512>(start, end, patterns, count, recorder, stopped);
}
