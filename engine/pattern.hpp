#pragma once
// The three engine patterns: each an instruction that refers to an engine global, followed by the
// instructions that come with it; where a match leads, and the one rule for what may be read from
// an image.

#include "pattern/pattern.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

// Every engine pattern starts with a 7-byte instruction carrying a 4-byte displacement at offsets
// 3 to 6.
inline constexpr std::size_t engineInstructionLength = 7;
inline constexpr std::size_t engineFieldOffset = 3;
struct EnginePattern : BytePattern {
    bool readsValue; // the slot keeps the global's value rather than its address
};

// In slot order.
extern const std::array<EnginePattern, 3> enginePatterns;
// The same, as the scan takes them.
extern const std::array<BytePattern, 3> engineBytePatterns;

// The location an engine pattern's instruction at match refers to: match + 7 + the displacement
// read as an unsigned 32-bit little-endian number at match + 3.
std::uintptr_t referencedLocation(const unsigned char* match);

// The bytes [location, location + count) lie inside the image [image, image + size): the one rule
// for what may be read from an image.
bool insideImage(const unsigned char* image, std::uint64_t size, std::uintptr_t location,
                 std::uint64_t count);

// A global an engine pattern refers to lies in the image when all eight bytes of it do, as a
// value read from it needs: the one rule, wherever a global is judged.
bool globalInImage(const unsigned char* image, std::uint64_t size, std::uintptr_t location);

// Each engine pattern's first occurrence in an image, in slot order, and the location it refers
// to; all three found in one pass. A match that is the pattern's own table (when the locator lies
// inside the scanned image) does not count.
struct EngineReference {
    const unsigned char* match;
    std::uintptr_t location;
};
using EngineReferences = std::array<std::optional<EngineReference>, 3>;
EngineReferences findEngineReferences(const unsigned char* image, std::uint32_t size);
