// Fuzzer-chosen buffer, patterns, masks and offset: findPattern, and findPatterns for up to six
// patterns in one pass on every vector kernel this processor runs, return exactly what the plain
// byte-by-byte scan returns.

#include "pattern/kernels.hpp"
#include "pattern/pattern.hpp"

#include "support.hpp"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Layout: offset (1 byte, signed), pattern count (1 byte), then per pattern its length (1
    // byte), bytes and mask characters ('x' where the byte is odd); the rest is the buffer.
    if (size < 2) {
        return 0;
    }
    const auto offset = static_cast<std::int32_t>(static_cast<std::int8_t>(data[0]));
    const std::size_t count = 1 + data[1] % 6;
    std::size_t at = 2;
    std::vector<std::string> bytes;
    std::vector<std::string> masks;
    for (std::size_t k = 0; k < count; ++k) {
        if (at >= size) {
            return 0;
        }
        const std::size_t length = data[at++] % 32;
        if (size - at < 2 * length) {
            return 0;
        }
        bytes.emplace_back(reinterpret_cast<const char*>(data + at), length);
        std::string mask;
        for (std::size_t j = 0; j < length; ++j) {
            mask += (data[at + length + j] & 1) != 0 ? 'x' : '?';
        }
        masks.push_back(mask);
        at += 2 * length;
    }
    std::vector<BytePattern> patterns;
    for (std::size_t k = 0; k < count; ++k) {
        patterns.push_back({bytes[k].data(), masks[k].c_str()});
    }
    // The scan reads images uninstrumented: a page that cannot be read catches overreads instead.
    testing_support::GuardedBuffer buffer(size - at);
    std::memcpy(buffer.data(), data + at, buffer.size());
    const auto bufferSize = static_cast<std::uint32_t>(buffer.size());
    auto expected = [&](std::size_t k, std::int32_t shift) {
        return scanByteByByte(buffer.data(), bufferSize, patterns[k].bytes, patterns[k].mask,
                              shift);
    };
    if (findPattern(buffer.data(), bufferSize, patterns[0].bytes, patterns[0].mask, offset) !=
        expected(0, offset)) {
        __builtin_trap();
    }
    // Anchors by the range's own sample, and by a sample of the patterns' bytes, in which their
    // rarest bytes are the commonest.
    std::string own;
    for (std::size_t n = 0; own.size() < 2048 && n < 4096; ++n) {
        own += bytes[n % count];
    }
    const ByteWeights hostile =
        pattern_scan::weighSample(reinterpret_cast<const unsigned char*>(own.data()), own.size());
    for (const auto path : pattern_scan::allPaths) {
        if (!pattern_scan::runs(path)) {
            continue;
        }
        for (const ByteWeights* weights : {static_cast<const ByteWeights*>(nullptr), &hostile}) {
            std::vector<const unsigned char*> firsts(count);
            pattern_scan::findPatternsOn(path, buffer.data(), bufferSize, patterns, firsts,
                                         weights);
            for (std::size_t k = 0; k < count; ++k) {
                if (firsts[k] != expected(k, 0)) {
                    __builtin_trap();
                }
            }
        }
    }
    return 0;
}
