#pragma once
// Byte patterns with masks and the fast scan that finds them: the first match of one pattern, the
// first match of each of several in one pass, and every match of several in one pass, visited or
// counted. The scan reads nothing outside the range it is given.

#include <cstddef>
#include <cstdint>
#include <functional>
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

// How common each byte value is in a range, by machine code in general and by a sample of the
// range: what the scan chooses each pattern's filter bytes by. Taken once, it serves every scan of
// the same range.
struct ByteWeights {
    std::uint32_t weight[256];
    // Bytes spread over the range, in pieces of its instruction stream, on which pairs of fixed
    // bytes are judged by how often they occur together; empty for a range too small to sample.
    std::vector<unsigned char> pairSample;
};
ByteWeights weighRange(const unsigned char* start, std::uint64_t size);

// Every place each pattern matches in the range (overlapping ones too), in one pass: found(k,
// match) is called for each, each pattern's in ascending order, until it returns false. Without
// weights the range is weighed first.
using MatchVisitor = std::function<bool(std::size_t pattern, const unsigned char* match)>;
void forEachMatch(const unsigned char* start, std::uint32_t size,
                  std::span<const BytePattern> patterns, const MatchVisitor& found,
                  const ByteWeights* weights = nullptr);

// Every place each pattern matches in the range (overlapping ones too), in one pass: how many,
// counting no further than stopAt (the pass ends once every pattern has reached it), and the
// lowest keepLowest of them in ascending order. matches has one element per pattern.
struct PatternMatches {
    std::uint64_t count = 0;
    std::vector<const unsigned char*> lowest;
};
void countMatches(const unsigned char* start, std::uint32_t size,
                  std::span<const BytePattern> patterns, std::span<PatternMatches> matches,
                  std::size_t keepLowest, std::uint64_t stopAt = UINT64_MAX,
                  const ByteWeights* weights = nullptr);

// The same by its definition: each candidate position in turn, lowest first, compared byte by
// byte. Tests and the benchmark measure the fast scan against it.
const unsigned char* scanByteByByte(const unsigned char* start, std::uint64_t size,
                                    const char* bytes, const char* mask, std::int32_t offset);
