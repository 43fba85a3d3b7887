// Which fixed bytes of a pattern the vector filter compares. The fewer candidates pass the filter,
// the less is compared in full; so the anchors are the rarest fixed bytes, judged so that the
// filter stays selective on code from any compiler.

#include "code_byte_frequency.hpp"
#include "kernel.hpp"

#include <algorithm>

namespace pattern_scan {

namespace {

// Ranges from this size on are sampled: 64 pieces spread evenly, together a 128th of the range
// and at most 256 KiB, so that weighing never costs more than a small part of the scan.
constexpr std::uint64_t sampledFrom = 1u << 20;
constexpr std::uint64_t samplePieces = 64;
constexpr std::uint64_t largestPiece = 4096;
constexpr std::uint64_t sampleShare = 128;

// A fixed byte right after a wildcard is mostly an operand's top byte (a displacement's, say),
// whose value is common wherever code refers to data that far away, as in a large executable.
constexpr std::uint32_t operandTopByteFactor = 16;

} // namespace

} // namespace pattern_scan

// A byte counts as common when the measured code or this range's sample says so.
ORVELIN_READS_WHOLE_IMAGE ByteWeights weighRange(const unsigned char* start, std::uint64_t size) {
    using namespace pattern_scan;
    ByteWeights weights;
    for (std::size_t value = 0; value < 256; ++value) {
        weights.weight[value] = codeByteFrequency[value];
    }
    if (size < sampledFrom) {
        return weights;
    }
    const std::uint64_t pieceSize = std::min(largestPiece, size / sampleShare / samplePieces);
    std::uint32_t counts[256] = {};
    for (std::uint64_t piece = 0; piece < samplePieces; ++piece) {
        const unsigned char* at = start + (size - pieceSize) * piece / (samplePieces - 1);
        for (std::uint64_t j = 0; j < pieceSize; ++j) {
            ++counts[at[j]];
        }
    }
    // In the table's units, 0.01 %.
    const std::uint64_t sampled = samplePieces * pieceSize;
    for (std::size_t value = 0; value < 256; ++value) {
        const auto share =
            static_cast<std::uint32_t>(counts[value] * std::uint64_t{10000} / sampled);
        weights.weight[value] = std::max(weights.weight[value], share);
    }
    return weights;
}

namespace pattern_scan {

Prepared prepare(const BytePattern& pattern, std::size_t length, const ByteWeights& weights) {
    auto weight = [&](std::size_t j) {
        const std::uint32_t base = weights.weight[static_cast<unsigned char>(pattern.bytes[j])] + 1;
        return j > 0 && pattern.mask[j - 1] != 'x' ? base * operandTopByteFactor : base;
    };
    // The rarest fixed byte, away from `awayFrom` and its neighbours (neighbours often come
    // together, as in a common instruction); length when there is none.
    auto rarest = [&](std::size_t awayFrom) {
        std::size_t best = length;
        for (std::size_t j = 0; j < std::min(length, anchorReach); ++j) {
            const bool near = awayFrom < length && j + 1 >= awayFrom && j <= awayFrom + 1;
            if (pattern.mask[j] == 'x' && !near && (best == length || weight(j) < weight(best))) {
                best = j;
            }
        }
        return best;
    };
    const std::size_t first = rarest(length);
    std::size_t second = rarest(first);
    if (second == length) {
        // Only neighbours are fixed: take one, or the same byte twice.
        second = first + 1 < length && pattern.mask[first + 1] == 'x' ? first + 1
                 : first > 0 && pattern.mask[first - 1] == 'x'        ? first - 1
                                                                      : first;
    }
    return {pattern.bytes,
            pattern.mask,
            length,
            {first, second},
            {static_cast<unsigned char>(pattern.bytes[first]),
             static_cast<unsigned char>(pattern.bytes[second])}};
}

} // namespace pattern_scan
