// The pattern scan by its definition, and the comparison it is made of.

#include "pattern/pattern.hpp"

#include <cstring>

ORVELIN_READS_WHOLE_IMAGE
bool matchPattern(const unsigned char* position, const char* bytes, const char* mask) {
    for (; *mask != '\0'; ++mask, ++bytes, ++position) {
        if (*mask == 'x' && *position != static_cast<unsigned char>(*bytes)) {
            return false;
        }
    }
    return true;
}

const unsigned char* scanByteByByte(const unsigned char* start, std::uint64_t size,
                                    const char* bytes, const char* mask, std::int32_t offset) {
    const std::size_t length = std::strlen(mask);
    for (std::uint64_t i = 0; i + length <= size; ++i) {
        if (matchPattern(start + i, bytes, mask)) {
            // Added as an address, not as a pointer: the result may lie outside the range.
            return reinterpret_cast<const unsigned char*>(
                reinterpret_cast<std::uintptr_t>(start + i) + static_cast<std::uintptr_t>(offset));
        }
    }
    return nullptr;
}
