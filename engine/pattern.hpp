#pragma once
// Byte patterns with masks, the fast scan that finds them, and the three engine patterns: each an
// instruction that refers to an engine global, followed by the instructions that come with it.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

// The scan reads whole executable images, including bytes that an instrumented build would call
// out of bounds (the padding between globals), so those reads are left uninstrumented.
#define ORVELIN_READS_WHOLE_IMAGE __attribute__((no_sanitize("address")))

// A byte sequence and a mask of the same length: 'x' fixes a byte, any other character accepts
// any byte. The mask's terminating zero ends the pattern.
struct BytePattern {
    const char* bytes;
    const char* mask;
};

// Every engine pattern starts with a 7-byte instruction carrying a 4-byte displacement at offsets
// 3 to 6.
struct EnginePattern : BytePattern {
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

// Each pattern's first occurrence in one pass over the range: afterwards firsts[k] is exactly
// findPattern(start, size, patterns[k].bytes, patterns[k].mask, 0). firsts has one element per
// pattern.
void findPatterns(const unsigned char* start, std::uint32_t size,
                  std::span<const BytePattern> patterns, std::span<const unsigned char*> firsts);

// Every place each pattern matches in the range (overlapping ones too), in one pass: found(k,
// match) is called for each, each pattern's in ascending order, until it returns false.
using MatchVisitor = std::function<bool(std::size_t pattern, const unsigned char* match)>;
void forEachMatch(const unsigned char* start, std::uint32_t size,
                  std::span<const BytePattern> patterns, const MatchVisitor& found);

// Every place each pattern matches in the range (overlapping ones too), in one pass: how many,
// counting no further than stopAt (the pass ends once every pattern has reached it), and the
// lowest keepLowest of them in ascending order. matches has one element per pattern.
struct PatternMatches {
    std::uint64_t count = 0;
    std::vector<const unsigned char*> lowest;
};
void countMatches(const unsigned char* start, std::uint32_t size,
                  std::span<const BytePattern> patterns, std::span<PatternMatches> matches,
                  std::size_t keepLowest, std::uint64_t stopAt = UINT64_MAX);

// The same by its definition: each candidate position in turn, lowest first, compared byte by
// byte. The fast scan finishes a range with it, and tests and the benchmark measure against it.
const unsigned char* scanByteByByte(const unsigned char* start, std::uint64_t size,
                                    const char* bytes, const char* mask, std::int32_t offset);

// The location an engine pattern's instruction at match refers to: match + 7 + the displacement
// read as an unsigned 32-bit little-endian number at match + 3.
std::uintptr_t referencedLocation(const unsigned char* match);

// The bytes [location, location + count) lie inside the image [image, image + size): the one rule
// for what may be read from an image.
bool insideImage(const unsigned char* image, std::uint64_t size, std::uintptr_t location,
                 std::uint64_t count);

// Each engine pattern's first occurrence in an image, in slot order, and the location it refers
// to; all three found in one pass. A match that is the pattern's own table (when the locator lies
// inside the scanned image) does not count.
struct EngineReference {
    const unsigned char* match;
    std::uintptr_t location;
};
using EngineReferences = std::array<std::optional<EngineReference>, 3>;
EngineReferences findEngineReferences(const unsigned char* image, std::uint32_t size);
