// Fuzzer-chosen buffer, pattern, mask and offset: findPattern returns exactly what the plain
// byte-by-byte scan returns.

#include "engine/pattern.hpp"

#include "support.hpp"

#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Layout: offset (1 byte, signed), pattern length (1 byte), pattern bytes, mask characters
    // ('x' where the byte is odd), then the buffer.
    if (size < 2) {
        return 0;
    }
    const auto offset = static_cast<std::int32_t>(static_cast<std::int8_t>(data[0]));
    const std::size_t length = data[1] % 32;
    if (size < 2 + 2 * length) {
        return 0;
    }
    const std::string bytes(reinterpret_cast<const char*>(data + 2), length);
    std::string mask;
    for (std::size_t j = 0; j < length; ++j) {
        mask += (data[2 + length + j] & 1) != 0 ? 'x' : '?';
    }
    // The scan reads images uninstrumented: a page that cannot be read catches overreads instead.
    testing_support::GuardedBuffer buffer(size - 2 - 2 * length);
    std::memcpy(buffer.data(), data + 2 + 2 * length, buffer.size());
    const auto bufferSize = static_cast<std::uint32_t>(buffer.size());
    if (findPattern(buffer.data(), bufferSize, bytes.data(), mask.c_str(), offset) !=
        scanByteByByte(buffer.data(), bufferSize, bytes.data(), mask.c_str(), offset)) {
        __builtin_trap();
    }
    return 0;
}
