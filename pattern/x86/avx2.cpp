// The kernel on 32-byte AVX2 registers. This source alone is compiled for AVX2; the dispatcher
// calls it only where the processor has it.

#include "blocks.hpp"

#include <immintrin.h>

namespace {

struct Avx2 {
    using Register = __m256i;
    using Hits = __m256i;
    static constexpr std::size_t width = 32;
    // The bytes a page ahead asked into the first-level cache: on both vendors' processors the
    // 32- and 64-byte loops read from memory faster with it; nearer (2 KiB) the loads still wait,
    // farther (8 KiB) the first level loses the lines before they are read, and asking the
    // second level for them as well cost a tenth on AMD (the benchmark's corpora, README).
    static constexpr std::uintptr_t ahead = 4096;
    ORVELIN_READS_WHOLE_IMAGE static Register load(std::uintptr_t at) {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(at));
    }
    ORVELIN_READS_WHOLE_IMAGE static Register loadu(std::uintptr_t at) {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
    }
    static Register splat(unsigned char value) {
        return _mm256_set1_epi8(static_cast<char>(value));
    }
    static Hits hits(Register bytes, Register value, Register later, Register laterValue) {
        return _mm256_and_si256(_mm256_cmpeq_epi8(bytes, value),
                                _mm256_cmpeq_epi8(later, laterValue));
    }
    static Hits either(Hits a, Hits b) { return _mm256_or_si256(a, b); }
    static bool none(Hits a) { return _mm256_testz_si256(a, a) != 0; }
    static bool noneOf(Hits a, Hits b) { return none(either(a, b)); }
    ORVELIN_READS_WHOLE_IMAGE static std::uint64_t bits(std::uintptr_t at, Register value) {
        const auto low =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(loadu(at), value)));
        const auto high =
            static_cast<unsigned>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(loadu(at + 32), value)));
        return low | std::uint64_t{high} << 32;
    }
};

} // namespace

std::size_t pattern_scan::scanAllAvx2(const unsigned char* start, std::size_t end,
                                      const Prepared* patterns, std::size_t count,
                                      const Recorder& recorder, bool& stopped) {
    return scanAllChunks<Avx2>(start, end, patterns, count, recorder, stopped);
}
