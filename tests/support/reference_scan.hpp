#pragma once
// The plain pattern scan: every candidate position in turn, lowest first, compared byte by byte.
// What the fast scan must agree with.

#include <cstdint>
#include <cstring>

namespace testing_support {

inline const unsigned char* referenceFindPattern(const unsigned char* start, std::uint32_t size,
                                                 const char* bytes, const char* mask,
                                                 std::int32_t offset) {
    const std::size_t length = std::strlen(mask);
    for (std::size_t i = 0; i + length <= size; ++i) {
        std::size_t j = 0;
        while (j < length &&
               (mask[j] != 'x' || start[i + j] == static_cast<unsigned char>(bytes[j]))) {
            ++j;
        }
        if (j == length) {
            return reinterpret_cast<const unsigned char*>(
                reinterpret_cast<std::uintptr_t>(start + i) + static_cast<std::uintptr_t>(offset));
        }
    }
    return nullptr;
}

} // namespace testing_support
