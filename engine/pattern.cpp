#include "engine/pattern.hpp"

#include "engine/code_byte_frequency.hpp"

#include <emmintrin.h>

#include <cstring>

// A load of a global followed by a test and a long conditional jump; a load of a global's address
// followed by three calls; a load of a global followed by a test and a short conditional jump.
// The zero bytes under '?' are placeholders.
const std::array<EnginePattern, 3> enginePatterns = {{
    {"\x48\x8B\x05\x00\x00\x00\x03\x48\x85\xC0\x0F\x85\xB0", "xxx???xxxxxxx", true},
    {"\x48\x8D\x0D\x00\x00\x00\x04\xE8\x00\x00\x00\x00\xE8\x00\x00\x00\x00\xE8\x00\x00\x00\x01",
     "xxx???xx???xx???xx???x", false},
    {"\x48\x8B\x1D\x00\x00\x00\x04\x48\x85\xDB\x74\x3B", "xxx???xxxxxx", false},
}};

namespace {

// Two fixed pattern positions the vector filter compares: the rarest fixed byte, and the rarest
// one not next to it (neighbours often come together, as in a common instruction). A pattern with
// one fixed byte uses it twice.
struct Anchors {
    std::size_t offset[2] = {0, 0};
    unsigned char value[2] = {0, 0};
    bool any = false;
};

std::size_t rarestFixedByte(const char* bytes, const char* mask, std::size_t length,
                            std::size_t awayFrom) {
    std::size_t best = length;
    for (std::size_t j = 0; j < length; ++j) {
        const bool near = awayFrom < length && j + 1 >= awayFrom && j <= awayFrom + 1;
        if (mask[j] != 'x' || near) {
            continue;
        }
        if (best == length || codeByteFrequency[static_cast<unsigned char>(bytes[j])] <
                                  codeByteFrequency[static_cast<unsigned char>(bytes[best])]) {
            best = j;
        }
    }
    return best;
}

Anchors chooseAnchors(const char* bytes, const char* mask, std::size_t length) {
    Anchors anchors;
    const std::size_t first = rarestFixedByte(bytes, mask, length, length);
    if (first == length) {
        return anchors;
    }
    std::size_t second = rarestFixedByte(bytes, mask, length, first);
    if (second == length) {
        second = first + 1 < length && mask[first + 1] == 'x' ? first + 1
                 : first > 0 && mask[first - 1] == 'x'        ? first - 1
                                                              : first;
    }
    anchors.any = true;
    anchors.offset[0] = first;
    anchors.offset[1] = second;
    anchors.value[0] = static_cast<unsigned char>(bytes[first]);
    anchors.value[1] = static_cast<unsigned char>(bytes[second]);
    return anchors;
}

const unsigned char* shifted(const unsigned char* match, std::int32_t offset) {
    return reinterpret_cast<const unsigned char*>(reinterpret_cast<std::uintptr_t>(match) +
                                                  static_cast<std::uintptr_t>(offset));
}

// Vector filter over blocks of 16 candidate positions: the lanes whose anchor bytes all match.
struct Filter {
    const unsigned char* at[2];
    __m128i want[2];

    Filter(const unsigned char* start, const Anchors& anchors) {
        for (int k = 0; k < 2; ++k) {
            at[k] = start + anchors.offset[k];
            want[k] = _mm_set1_epi8(static_cast<char>(anchors.value[k]));
        }
    }

    ORVELIN_READS_WHOLE_IMAGE __m128i candidates(std::size_t i) const {
        const __m128i hit0 =
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at[0] + i)), want[0]);
        const __m128i hit1 =
            _mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(at[1] + i)), want[1]);
        return _mm_and_si128(hit0, hit1);
    }
};

// The first candidate lane of the block at position that passes the full comparison.
const unsigned char* verify(const unsigned char* position, __m128i lanes, const char* bytes,
                            const char* mask) {
    for (auto bits = static_cast<unsigned>(_mm_movemask_epi8(lanes)); bits != 0; bits &= bits - 1) {
        const unsigned char* candidate = position + __builtin_ctz(bits);
        if (matchPattern(candidate, bytes, mask)) {
            return candidate;
        }
    }
    return nullptr;
}

} // namespace

const unsigned char* findPattern(const unsigned char* start, std::uint32_t size, const char* bytes,
                                 const char* mask, std::int32_t offset) {
    const std::size_t length = std::strlen(mask);
    if (size < length) {
        return nullptr;
    }
    // Candidates are 0 .. end - 1; a block of 16 at i reads at most i + 15 + length - 1 < size.
    const std::size_t end = size - length + 1;
    const Anchors anchors = chooseAnchors(bytes, mask, length);
    if (!anchors.any) {
        return scanByteByByte(start, size, bytes, mask, offset);
    }
    const Filter filter(start, anchors);
    std::size_t i = 0;
    for (; i + 64 <= end; i += 64) {
        const __m128i lanes[4] = {filter.candidates(i), filter.candidates(i + 16),
                                  filter.candidates(i + 32), filter.candidates(i + 48)};
        const __m128i any =
            _mm_or_si128(_mm_or_si128(lanes[0], lanes[1]), _mm_or_si128(lanes[2], lanes[3]));
        if (_mm_movemask_epi8(any) == 0) {
            continue;
        }
        for (std::size_t block = 0; block < 4; ++block) {
            if (const unsigned char* match =
                    verify(start + i + 16 * block, lanes[block], bytes, mask)) {
                return shifted(match, offset);
            }
        }
    }
    for (; i + 16 <= end; i += 16) {
        if (const unsigned char* match = verify(start + i, filter.candidates(i), bytes, mask)) {
            return shifted(match, offset);
        }
    }
    return scanByteByByte(start + i, size - i, bytes, mask, offset);
}

ORVELIN_READS_WHOLE_IMAGE
std::uintptr_t referencedLocation(const unsigned char* match) {
    const unsigned char* field = match + 3;
    const std::uint32_t displacement =
        static_cast<std::uint32_t>(field[0]) | static_cast<std::uint32_t>(field[1]) << 8 |
        static_cast<std::uint32_t>(field[2]) << 16 | static_cast<std::uint32_t>(field[3]) << 24;
    return reinterpret_cast<std::uintptr_t>(match) + 7 + displacement;
}

bool insideImage(const unsigned char* image, std::uint64_t size, std::uintptr_t location,
                 std::uint64_t count) {
    // Below the image the difference wraps round to a number far beyond any image's size.
    const std::uint64_t at = location - reinterpret_cast<std::uintptr_t>(image);
    return at <= size && count <= size - at;
}

std::optional<EngineReference> findEngineReference(const unsigned char* image, std::uint32_t size,
                                                   const EnginePattern& pattern) {
    const auto* table = reinterpret_cast<const unsigned char*>(pattern.bytes);
    const unsigned char* from = image;
    for (;;) {
        const auto remaining = static_cast<std::uint32_t>(image + size - from);
        const unsigned char* match = findPattern(from, remaining, pattern.bytes, pattern.mask, 0);
        if (match == nullptr) {
            return std::nullopt;
        }
        if (match != table) {
            return EngineReference{match, referencedLocation(match)};
        }
        from = match + 1;
    }
}
