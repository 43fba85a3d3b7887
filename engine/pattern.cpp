#include "engine/pattern.hpp"

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

// How often each byte value occurs in x86-64 machine code, in units of 0.01% (capped at 255),
// measured once over large shared libraries. The scan filters on a pattern's rarest fixed bytes.
// clang-format off
constexpr std::uint8_t codeByteFrequency[256] = {
    255, 195, 105,  84, 113,  82,  69,  38, 121,  35,  23,  21,  26,  20,  85, 122,
     78,  22,  19,  15,  20,  22,  11,  13,  46,  12,  12,  21,  22,  11,  14,  31,
     82,  16,  12,  10, 167,  18,   9,  11,  43,  17,   8,   9,  15,  14,  21,  10,
     55,  49,  22,  16,  26,  16,  14,  10,  30,  37,  20,  23,  25,  23,  18,  13,
     42, 105,  46,  25,  77,  44,  17,  19, 255,  72,   9,  12, 104,  32,  19,  13,
     40,   9,  16,  30,  27,  17,  22,  15,  17,   7,  11,  14,  17,  14,  14,  51,
     22,  36,  15,  20,  29,  41,  46,  15,  21,  34,   8,  12,  39,  23,  33,  28,
     29,   9,  35,  33,  78,  40,  21,  14,  20,  15,   9,  12,  22,  11,   9,  11,
     49,  17,   9,  77,  74,  49,  12,   9,  15, 195,   8, 149,  17,  76,  12,  10,
     21,   7,   7,   6,  14,   8,   6,   6,  10,   6,   5,   6,   9,   6,   6,   6,
     14,   6,   6,   6,   8,   5,   5,   5,  11,   6,  10,   6,  10,   5,   6,   6,
     14,   6,   6,   8,  12,   6,  12,   9,  16,  12,  13,   9,  22,  20,  21,  15,
     53,  40,  14,  23,  15,  15,  20,  39,  17,  15,   9,   7,   8,   8,   9,   8,
     16,  11,  14,   8,   7,   7,  11,   8,  18,   8,   8,  10,   7,  10,  11,  19,
     23,  12,  10,   8,   9,   9,  11,  12,  83,  30,  11,  26,  12,  12,  13,  17,
     23,  10,  12,  11,   7,   8,  22,  17,  23,  13,  14,  16,  18,  39,  60, 187,};
// clang-format on

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

} // namespace

ORVELIN_READS_WHOLE_IMAGE
bool matchPattern(const unsigned char* position, const char* bytes, const char* mask) {
    for (; *mask != '\0'; ++mask, ++bytes, ++position) {
        if (*mask == 'x' && *position != static_cast<unsigned char>(*bytes)) {
            return false;
        }
    }
    return true;
}

namespace {

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
        return shifted(start, offset);
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
    for (; i < end; ++i) {
        if (matchPattern(start + i, bytes, mask)) {
            return shifted(start + i, offset);
        }
    }
    return nullptr;
}

ORVELIN_READS_WHOLE_IMAGE
std::uintptr_t referencedLocation(const unsigned char* match) {
    const unsigned char* field = match + 3;
    const std::uint32_t displacement =
        static_cast<std::uint32_t>(field[0]) | static_cast<std::uint32_t>(field[1]) << 8 |
        static_cast<std::uint32_t>(field[2]) << 16 | static_cast<std::uint32_t>(field[3]) << 24;
    return reinterpret_cast<std::uintptr_t>(match) + 7 + displacement;
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
