#pragma once
// Engine global locator: finds three globals of the game executable through instructions in its
// image that refer to them, and keeps what it found in three module-wide slots.

#include "platform/platform.hpp"

#include <array>
#include <cstdint>
#include <optional>

// Zero until locateEngineGlobals finds them. Slot 1 holds the value read from its global; slots 2
// and 3 hold their globals' addresses.
extern std::uint64_t engineGlobal1;
extern std::uint64_t engineGlobal2;
extern std::uint64_t engineGlobal3;

// A byte sequence and a mask of the same length: 'x' fixes a byte, any other character accepts
// any byte. The mask's terminating zero ends the pattern. Every engine pattern starts with a
// 7-byte instruction carrying a 4-byte displacement at offsets 3 to 6.
struct EnginePattern {
    const char* bytes;
    const char* mask;
    bool readsValue; // the slot keeps the global's value rather than its address
};

// In slot order.
extern const std::array<EnginePattern, 3> enginePatterns;

// Every 'x' position of the mask holds the same byte at position as in bytes.
bool matchPattern(const unsigned char* position, const char* bytes, const char* mask);

// The lowest address in [start, start + size) where the whole pattern lies and matches, plus
// offset; null when there is none (including when the range is shorter than the pattern). Reads
// nothing outside the range.
const unsigned char* findPattern(const unsigned char* start, std::uint32_t size, const char* bytes,
                                 const char* mask, std::int32_t offset);

// The location an engine pattern's instruction at match refers to: match + 7 + the displacement
// read as an unsigned 32-bit little-endian number at match + 3.
std::uintptr_t referencedLocation(const unsigned char* match);

// An engine pattern's first occurrence in an image and the location it refers to. A match that
// is the pattern's own table (when the locator lies inside the scanned image) does not count.
struct EngineReference {
    const unsigned char* match;
    std::uintptr_t location;
};
std::optional<EngineReference> findEngineReference(const unsigned char* image, std::uint32_t size,
                                                   const EnginePattern& pattern);

// Scans the main executable's image for each pattern in slot order and fills the slots. A
// pattern not found leaves its slot as it was and is logged; so is an unreadable image.
void locateEngineGlobals();
// The same over a given image; empty stands for module information that could not be read.
void locateEngineGlobals(const std::optional<platform::ModuleImage>& image);
