// The vector kernel on 32-byte AVX2 registers. This source alone is compiled for AVX2; the
// dispatcher calls it only where the processor has it.

#include "blocks.hpp"

#include <immintrin.h>

namespace {

struct Avx2 {
    using Register = __m256i;
    static constexpr std::size_t width = 32;
    ORVELIN_READS_WHOLE_IMAGE static Register load(const unsigned char* at) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    }
    static Register splat(unsigned char value) {
        return _mm256_set1_epi8(static_cast<char>(value));
    }
    static Register equal(Register a, Register b) { return _mm256_cmpeq_epi8(a, b); }
    static Register both(Register a, Register b) { return _mm256_and_si256(a, b); }
    static Register either(Register a, Register b) { return _mm256_or_si256(a, b); }
    static bool none(Register a) { return _mm256_testz_si256(a, a) != 0; }
    static unsigned long long lanes(Register a) {
        return static_cast<unsigned>(_mm256_movemask_epi8(a));
    }
};

} // namespace

std::size_t pattern_scan::scanAllAvx2(const unsigned char* start, std::size_t end,
                                      const Prepared* patterns, std::size_t count,
                                      const Recorder& recorder, bool& stopped) {
    return scanAllBlocks<Avx2>(start, end, patterns, count, recorder, stopped);
}
