// Which fixed bytes of a pattern the vector filter compares. The fewer candidates pass the filter,
// the less is compared in full; so the anchors are the pair of fixed bytes that occur together
// least often in the range being scanned, as its sample shows, judged by the single bytes'
// rarity where the sample cannot tell them apart (or the range is too small to be sampled).

#include "code_byte_frequency.hpp"
#include "kernel.hpp"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

namespace pattern_scan {

namespace {

// Ranges from this size on are sampled: a 1024th of the range, at most 64 KiB, in pieces of at
// least 256 bytes (256 pieces at most) spread evenly, so that weighing costs a small part of the
// scan even where the range is in the cache (measured: a fifteenth of a 1 MiB scan from the
// second-level cache, a sixtieth of an 8 MiB one). Single bytes are counted and pairs judged on the
// same bytes (bytes of one instruction stream belong together: a call after a lea, say, which
// single bytes' frequencies do not show); a piece is far longer than any pair's distance.
constexpr std::uint64_t sampledFrom = 1u << 20;
constexpr std::uint64_t sampleShare = 1024;
constexpr std::uint64_t largestSample = 64 * 1024;
constexpr std::uint64_t shortestPiece = 256;
constexpr std::uint64_t mostPieces = 256;
// Fewer sampled bytes than this judge no pair.
constexpr std::size_t smallestPairSample = 1024;
// The rarest fixed bytes whose pairs are judged.
constexpr std::size_t pairCandidates = 8;

// A fixed byte right after a wildcard is mostly an operand's top byte (a displacement's, say),
// whose value is common wherever code refers to data that far away, as in a large executable.
constexpr std::uint32_t operandTopByteFactor = 16;

// How often each byte value occurs in what was added: four tables counted in turn, so that a
// run of one value never waits on its own count.
class ByteCounts {
public:
    ORVELIN_READS_WHOLE_IMAGE void add(const unsigned char* at, std::uint64_t size) {
        std::uint64_t j = 0;
        for (; j + 4 <= size; j += 4) {
            ++tables_[0][at[j]];
            ++tables_[1][at[j + 1]];
            ++tables_[2][at[j + 2]];
            ++tables_[3][at[j + 3]];
        }
        for (; j < size; ++j) {
            ++tables_[0][at[j]];
        }
    }
    std::uint64_t operator[](std::size_t value) const {
        return std::uint64_t{tables_[0][value]} + tables_[1][value] + tables_[2][value] +
               tables_[3][value];
    }

private:
    std::uint32_t tables_[4][256] = {};
};

// Each byte's weight: the measured code's frequency or the sample's share, whichever is higher,
// in the table's units (0.01 %).
void weighByCounts(ByteWeights& weights, const ByteCounts& counts, std::uint64_t sampled) {
    // One division for all 256 (a division each cost as much as counting a kilobyte).
    const double unitsPerByte = sampled == 0 ? 0.0 : 10000.0 / static_cast<double>(sampled);
    for (std::size_t value = 0; value < 256; ++value) {
        const auto share =
            static_cast<std::uint32_t>(static_cast<double>(counts[value]) * unitsPerByte);
        weights.weight[value] = std::max<std::uint32_t>(codeByteFrequency[value], share);
    }
}

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
    const std::uint64_t sampled = std::min(largestSample, size / sampleShare);
    const std::uint64_t pieces = std::clamp<std::uint64_t>(sampled / shortestPiece, 1, mostPieces);
    const std::uint64_t pieceSize = sampled / pieces;
    weights.pairSample.resize(pieces * pieceSize);
    unsigned char* to = weights.pairSample.data();
    for (std::uint64_t piece = 0; piece < pieces; ++piece) {
        const unsigned char* at = start + (size - pieceSize) * piece / (pieces - 1 + (pieces == 1));
        // Byte by byte here: a library copy would read the image instrumented.
        for (std::uint64_t j = 0; j < pieceSize; ++j) {
            to[j] = at[j];
        }
        to += pieceSize;
    }
    ByteCounts counts;
    counts.add(weights.pairSample.data(), weights.pairSample.size());
    weighByCounts(weights, counts, weights.pairSample.size());
    return weights;
}

namespace pattern_scan {

ByteWeights weighSample(const unsigned char* sample, std::size_t size) {
    ByteWeights weights;
    ByteCounts counts;
    counts.add(sample, size);
    weighByCounts(weights, counts, size);
    weights.pairSample.assign(sample, sample + size);
    return weights;
}

namespace {

// How often each pair of the candidates occurs together in the sample, by the pair's indexes
// (the rarer first, as the candidates are ordered): each candidate's occurrences are found with
// memchr and only there are the commoner ones compared, so the count costs little more than a
// pass over the sample per candidate.
std::vector<std::uint32_t> pairCounts(const BytePattern& pattern,
                                      const std::vector<std::size_t>& candidates,
                                      const std::vector<unsigned char>& sample) {
    const std::size_t span = *std::max_element(candidates.begin(), candidates.end()) + 1;
    const std::size_t count = candidates.size();
    std::vector<std::uint32_t> together(count * count, 0);
    if (sample.size() < std::max(span, smallestPairSample)) {
        return together;
    }
    const unsigned char* bytes = sample.data();
    const std::size_t positions = sample.size() - span + 1;
    for (std::size_t a = 0; a + 1 < count; ++a) {
        const std::size_t offset = candidates[a];
        const auto value = static_cast<unsigned char>(pattern.bytes[offset]);
        // Where the candidate's byte stands for a position p in [0, positions).
        const unsigned char* from = bytes + offset;
        const unsigned char* end = from + positions;
        for (const unsigned char* at = from;
             (at = static_cast<const unsigned char*>(
                  std::memchr(at, value, static_cast<std::size_t>(end - at)))) != nullptr;
             ++at) {
            const unsigned char* position = at - offset;
            for (std::size_t b = a + 1; b < count; ++b) {
                together[a * count + b] +=
                    position[candidates[b]] ==
                            static_cast<unsigned char>(pattern.bytes[candidates[b]])
                        ? 1
                        : 0;
            }
        }
    }
    return together;
}

} // namespace

Prepared prepare(const BytePattern& pattern, std::size_t length, const ByteWeights& weights) {
    auto weight = [&](std::size_t j) {
        const std::uint32_t base = weights.weight[static_cast<unsigned char>(pattern.bytes[j])] + 1;
        return j > 0 && pattern.mask[j - 1] != 'x' ? base * operandTopByteFactor : base;
    };
    // The fixed bytes within reach, rarest first.
    std::vector<std::size_t> fixed;
    for (std::size_t j = 0; j < std::min(length, anchorReach); ++j) {
        if (pattern.mask[j] == 'x') {
            fixed.push_back(j);
        }
    }
    std::stable_sort(fixed.begin(), fixed.end(),
                     [&](std::size_t a, std::size_t b) { return weight(a) < weight(b); });
    if (fixed.size() > pairCandidates) {
        fixed.resize(pairCandidates);
    }
    std::size_t first = fixed.empty() ? length : fixed.front();
    std::size_t second = first;
    if (fixed.size() >= 2) {
        // The pair seen together least often. Without a sample, the rarest by their single
        // bytes, neighbours last (neighbours often come together, as in a common instruction).
        const std::vector<std::uint32_t> together = pairCounts(pattern, fixed, weights.pairSample);
        const std::size_t count = fixed.size();
        const bool sampled = weights.pairSample.size() >= smallestPairSample;
        // Where the sample judges the pair, how often it saw them together plus how often two
        // bytes that rare would meet by chance in as many bytes (so that a pair seen once or not
        // at all is told apart by the bytes' own rarity); else the single bytes' weights.
        auto score = [&](std::size_t a, std::size_t b) {
            const auto share = [&](std::size_t j) {
                return static_cast<double>(
                           weights.weight[static_cast<unsigned char>(pattern.bytes[j])] + 1) /
                       10000.0;
            };
            return sampled
                       ? together[a * count + b] +
                             share(fixed[a]) * share(fixed[b]) *
                                 static_cast<double>(weights.pairSample.size())
                       : static_cast<double>(std::uint64_t{weight(fixed[a])} * weight(fixed[b]));
        };
        auto rank = [&](std::size_t a, std::size_t b) {
            const bool neighbours = fixed[a] + 1 == fixed[b] || fixed[b] + 1 == fixed[a];
            return std::pair{neighbours && !sampled, score(a, b)};
        };
        std::size_t bestA = 0;
        std::size_t bestB = 1;
        auto best = rank(bestA, bestB);
        for (std::size_t a = 0; a < count; ++a) {
            for (std::size_t b = a + 1; b < count; ++b) {
                if (const auto ranked = rank(a, b); ranked < best) {
                    best = ranked;
                    bestA = a;
                    bestB = b;
                }
            }
        }
        // The rarer one first: the kernels compare it on every chunk, the other under its mask.
        first = fixed[bestA];
        second = fixed[bestB];
    } else if (first < length) {
        // One fixed byte within reach: a neighbour beyond it, or the same byte twice.
        second = first + 1 < length && pattern.mask[first + 1] == 'x' ? first + 1
                 : first > 0 && pattern.mask[first - 1] == 'x'        ? first - 1
                                                                      : first;
    }
    if (first == length) {
        first = second = 0;
    }
    return {pattern.bytes,
            pattern.mask,
            length,
            {first, second},
            {static_cast<unsigned char>(pattern.bytes[first]),
             static_cast<unsigned char>(pattern.bytes[second])}};
}

} // namespace pattern_scan
