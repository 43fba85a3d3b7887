// The pattern scan against its definition, byte by byte, on every kernel this processor runs.

#include "engine/pattern.hpp"
#include "pattern/internal/hit_tree.hpp"
#include "pattern/kernels.hpp"
#include "pattern/pattern.hpp"

#include "support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <random>
#include <type_traits>
#include <utility>
#include <vector>

using testing_support::GuardedBuffer;

namespace {

const unsigned char* find(const std::vector<unsigned char>& buffer, const char* bytes,
                          const char* mask, std::int32_t offset = 0) {
    return findPattern(buffer.data(), static_cast<std::uint32_t>(buffer.size()), bytes, mask,
                       offset);
}

// Random buffers ending at an unreadable page, and random patterns over a small alphabet (so that
// partial and repeated matches are common), several in one pass: every result is the
// definition's, first matches and every match, on each vector kernel and through the dispatched
// findPattern with an offset.
TEST(FindPatterns, AgreeWithTheByteByByteScanOnEveryKernel) {
    using pattern_scan::VectorPath;
    std::mt19937 random(20261208);
    const unsigned char alphabet[] = {0x00, 0x48, 0x8B, 0x05, 0x03, 0x85, 0xC0, 0xE8};
    auto pick = [&](std::size_t below) {
        return std::uniform_int_distribution<std::size_t>(0, below - 1)(random);
    };
    auto randomPattern = [&](std::string& bytes, std::string& mask) {
        const std::size_t shape = pick(6);
        // Shape 5: longer than the anchors' reach, fixed bytes only beyond it.
        const std::size_t length =
            shape == 5 ? pattern_scan::anchorReach + 1 + pick(24) : 1 + pick(24);
        bytes.assign(length, '\0');
        mask.assign(length, 'x');
        for (std::size_t j = 0; j < length; ++j) {
            bytes[j] = static_cast<char>(alphabet[pick(sizeof(alphabet))]);
            if (shape == 1 || (shape == 2 && pick(3) == 0)) {
                mask[j] = "?.x"[pick(2)];
            }
        }
        if (shape == 3) { // a single fixed byte
            mask.assign(length, '?');
            mask[pick(length)] = 'x';
        } else if (shape == 4 && pick(4) == 0) { // nothing fixed
            mask.assign(length, '?');
        } else if (shape == 5) {
            // Nothing fixed within the anchors' reach, or one byte, the rest beyond it.
            std::fill_n(mask.begin(), pattern_scan::anchorReach, '?');
            if (pick(2) == 0) {
                mask[pick(pattern_scan::anchorReach)] = 'x';
            }
        }
    };
    for (const VectorPath path : pattern_scan::allPaths) {
        if (!pattern_scan::runs(path)) {
            // Machines differ, CI's too: a kernel this processor lacks is reported, not failed,
            // so that a run's outcome never depends on which machine it drew.
            std::cout << "This processor has no " << pattern_scan::nameOf(path)
                      << ": that kernel is not run here\n";
            continue;
        }
        for (int round = 0; round < 1500; ++round) {
            const std::size_t count = 1 + pick(6); // more than one kernel pass holds
            std::vector<std::string> bytes(count);
            std::vector<std::string> masks(count);
            std::vector<BytePattern> patterns(count);
            for (std::size_t k = 0; k < count; ++k) {
                randomPattern(bytes[k], masks[k]);
                patterns[k] = {bytes[k].data(), masks[k].c_str()};
            }
            // Now and then large enough to be sampled for its anchors.
            GuardedBuffer buffer(round % 300 == 0 ? (1u << 20) + pick(4096) : pick(700));
            for (std::size_t i = 0; i < buffer.size(); ++i) {
                buffer.data()[i] = alphabet[pick(sizeof(alphabet))];
            }
            for (const std::string& planted : bytes) {
                if (buffer.size() >= planted.size() && pick(2) == 0) {
                    const std::size_t at = pick(3) == 0 ? buffer.size() - planted.size()
                                                        : pick(buffer.size() - planted.size() + 1);
                    std::memcpy(buffer.data() + at, planted.data(), planted.size());
                }
            }
            const auto size = static_cast<std::uint32_t>(buffer.size());
            // Anchors chosen by the range's own sample, by the buffer as a sample, and by a
            // sample of the patterns' own bytes, in which their rarest bytes are the commonest.
            std::string own;
            while (own.size() < 4096) {
                own += bytes[pick(count)];
                own += static_cast<char>(alphabet[pick(sizeof(alphabet))]);
            }
            const ByteWeights weighed[] = {
                pattern_scan::weighSample(buffer.data(), buffer.size()),
                pattern_scan::weighSample(reinterpret_cast<const unsigned char*>(own.data()),
                                          own.size())};
            for (const ByteWeights* weights :
                 {static_cast<const ByteWeights*>(nullptr), &weighed[0], &weighed[1]}) {
                std::vector<const unsigned char*> firsts(count);
                pattern_scan::findPatternsOn(path, buffer.data(), size, patterns, firsts, weights);
                for (std::size_t k = 0; k < count; ++k) {
                    ASSERT_EQ(firsts[k], scanByteByByte(buffer.data(), size, patterns[k].bytes,
                                                        patterns[k].mask, 0))
                        << "round " << round << ", pattern " << k << " of " << count << ", mask "
                        << masks[k] << ", size " << size;
                }
            }
            // Every match, not only the first: each pattern's in ascending order.
            std::vector<std::vector<const unsigned char*>> every(count);
            pattern_scan::forEachMatchOn(
                path, buffer.data(), size, patterns,
                [&](std::size_t k, const unsigned char* match) {
                    every[k].push_back(match);
                    return true;
                },
                &weighed[round % 2]);
            for (std::size_t k = 0; k < count; ++k) {
                std::vector<const unsigned char*> expected;
                for (std::size_t i = 0; i + masks[k].size() <= size; ++i) {
                    if (matchPattern(buffer.data() + i, patterns[k].bytes, patterns[k].mask)) {
                        expected.push_back(buffer.data() + i);
                    }
                }
                ASSERT_EQ(every[k], expected) << "round " << round << ", mask " << masks[k];
            }
            const auto offset = static_cast<std::int32_t>(pick(17)) - 8;
            ASSERT_EQ(
                findPattern(buffer.data(), size, patterns[0].bytes, patterns[0].mask, offset),
                scanByteByByte(buffer.data(), size, patterns[0].bytes, patterns[0].mask, offset))
                << "round " << round;
        }
    }
}

// How often the pattern's bytes at offsets a and b stand together in the sample.
std::size_t together(const std::vector<unsigned char>& sample, const BytePattern& pattern,
                     std::size_t a, std::size_t b) {
    std::size_t count = 0;
    for (std::size_t p = 0; p + std::max(a, b) < sample.size(); ++p) {
        count += sample[p + a] == static_cast<unsigned char>(pattern.bytes[a]) &&
                 sample[p + b] == static_cast<unsigned char>(pattern.bytes[b]);
    }
    return count;
}

TEST(Anchors, AreAPairTheSampleSeldomSeesTogether) {
    // Code as MSVC writes it: a string's address loaded (lea rcx, [rip + X], its displacement's
    // top byte 00) and a call right after, again and again among other bytes. Engine pattern 2
    // begins with that lea and that call: its 0D and E8, each alone the rarest of its bytes here,
    // stand together everywhere.
    std::mt19937 random(25);
    std::vector<unsigned char> sample;
    while (sample.size() < (64u << 10)) {
        for (int n = 0; n < 200; ++n) {
            // The pattern's other bytes among them are common.
            const unsigned char others[] = {0x48, 0x8D, 0x04, 0x01, 0x60, 0x61, 0x62, 0x63};
            sample.push_back(others[random() % sizeof(others)]);
        }
        const unsigned char leaThenCall[] = {0x0D, 0x10, 0x20, 0x30, 0x00, 0xE8};
        sample.insert(sample.end(), std::begin(leaThenCall), std::end(leaThenCall));
    }
    const BytePattern& pattern = enginePatterns[1];
    const ByteWeights weights = pattern_scan::weighSample(sample.data(), sample.size());
    const auto [first, second] = pattern_scan::anchorsOf(pattern, weights);
    EXPECT_NE(std::minmax(first, second), std::minmax(std::size_t{2}, std::size_t{7}));
    EXPECT_LT(together(sample, pattern, first, second), together(sample, pattern, 2, 7) / 10);
    // The rarer of the two is compared first.
    EXPECT_LE(weights.weight[static_cast<unsigned char>(pattern.bytes[first])],
              weights.weight[static_cast<unsigned char>(pattern.bytes[second])]);
}

// A range sampled for its anchors, where the pattern's two rarest bytes stand together, 20 bytes
// apart, every 200 bytes, and two others, hardly commoner, only apart. A sample cut into pieces
// shorter than that distance never sees the pair together and takes it.
TEST(Anchors, APairFarApartIsJudgedWhereItStandsTogether) {
    const BytePattern pattern{"\x9A\x00\x00\x00\x00\xA6\x00\x00\x00\x00\xA7\x00\x00\x00\x00\x00"
                              "\x00\x00\x00\x00\x9B",
                              "x????x????x?????????x"};
    std::mt19937 random(20);
    std::vector<unsigned char> range;
    const unsigned char common[] = {0x48, 0x8B, 0x89, 0x00, 0x24, 0x0F, 0x85, 0xC0};
    while (range.size() < (2u << 20)) {
        std::vector<unsigned char> unit(200);
        for (unsigned char& byte : unit) {
            byte = common[random() % sizeof(common)];
        }
        unit[0] = 0x9A;
        unit[20] = 0x9B;
        unit[60 + random() % 30] = 0xA6;
        unit[120 + random() % 30] = 0xA7;
        unit[190] = random() % 5 == 0 ? 0xA6 : 0xA7;
        range.insert(range.end(), unit.begin(), unit.end());
    }
    const ByteWeights weights = weighRange(range.data(), range.size());
    ASSERT_FALSE(weights.pairSample.empty());
    const auto [first, second] = pattern_scan::anchorsOf(pattern, weights);
    EXPECT_NE(std::minmax(first, second), std::minmax(std::size_t{0}, std::size_t{20}));
}

// A range large enough to be asked ahead from memory into the second-level cache as well: every
// match of the three engine patterns, planted at its start, across chunk edges and at its very
// end, with near misses among random bytes, is the definition's on every kernel.
TEST(FindPatterns, ALargeRangeAgreesWithTheDefinitionOnEveryKernel) {
    GuardedBuffer buffer((33u << 20) + 61);
    std::mt19937_64 random(33);
    for (std::size_t i = 0; i < buffer.size(); i += 8) {
        const std::uint64_t word = random();
        std::memcpy(buffer.data() + i, &word, std::min<std::size_t>(8, buffer.size() - i));
    }
    const std::size_t size = buffer.size();
    for (std::size_t k = 0; k < enginePatterns.size(); ++k) {
        const std::size_t length = std::strlen(enginePatterns[k].mask);
        for (const std::size_t at :
             {std::size_t{k * 30}, (8u << 20) + 64 * k - 3, (20u << 20) + 1000 * k,
              (32u << 20) + 64 * k - 1, size - length - 50 * k}) {
            std::memcpy(buffer.data() + at, enginePatterns[k].bytes, length);
        }
        for (std::size_t n = 0; n < 200; ++n) { // one fixed byte changed
            const std::size_t at = (n + 1) * (size / 202) + 100 * k;
            std::memcpy(buffer.data() + at, enginePatterns[k].bytes, length);
            std::size_t changed = n % length;
            while (enginePatterns[k].mask[changed] != 'x') {
                changed = (changed + 1) % length;
            }
            buffer.data()[at + changed] ^= 0x40;
        }
    }
    std::vector<const unsigned char*> expected[3];
    for (std::size_t k = 0; k < 3; ++k) {
        const BytePattern& pattern = engineBytePatterns[k];
        for (std::size_t i = 0; i + std::strlen(pattern.mask) <= size; ++i) {
            if (matchPattern(buffer.data() + i, pattern.bytes, pattern.mask)) {
                expected[k].push_back(buffer.data() + i);
            }
        }
        ASSERT_GE(expected[k].size(), 5u);
    }
    for (const pattern_scan::VectorPath path : pattern_scan::allPaths) {
        if (!pattern_scan::runs(path)) {
            continue; // the test above says so
        }
        std::vector<const unsigned char*> every[3];
        pattern_scan::forEachMatchOn(path, buffer.data(), static_cast<std::uint32_t>(size),
                                     engineBytePatterns,
                                     [&](std::size_t k, const unsigned char* match) {
                                         every[k].push_back(match);
                                         return true;
                                     });
        for (std::size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(every[k], expected[k]) << pattern_scan::nameOf(path) << ", pattern " << k;
        }
    }
}

// The kernel is chosen by timing, or named by the environment: a name is taken only where this
// processor runs it, a timing covers every kernel it runs, and whichever kernel is chosen or
// forced, the scan finds the same first matches, for one pattern and for three.
TEST(KernelChoice, AForcedKernelFindsWhatTheChosenOneFinds) {
    using pattern_scan::VectorPath;
    for (const char* name : {static_cast<const char*>(nullptr), "", "AVX2", "avx1024"}) {
        const pattern_scan::KernelChoice measured = pattern_scan::chooseKernel(name);
        EXPECT_FALSE(measured.forced) << (name != nullptr ? name : "(unset)");
        EXPECT_TRUE(pattern_scan::runs(measured.one) && pattern_scan::runs(measured.several));
        for (const VectorPath path : pattern_scan::allPaths) {
            const auto at = static_cast<std::size_t>(path);
            // Timed where it runs (no clock's reading asked of it), none where it does not.
            EXPECT_TRUE(pattern_scan::runs(path)
                            ? measured.alone[at] < 1e9 && measured.together[at] < 1e9
                            : measured.alone[at] == 0 && measured.together[at] == 0)
                << pattern_scan::nameOf(path);
        }
    }
    std::mt19937 random(39);
    std::vector<unsigned char> code(1u << 20);
    for (unsigned char& byte : code) {
        byte = static_cast<unsigned char>(random() % 16 == 0 ? 0x48 : random());
    }
    for (std::size_t k = 0; k < 3; ++k) {
        std::memcpy(code.data() + 300000 * (k + 1), enginePatterns[k].bytes,
                    std::strlen(enginePatterns[k].mask));
    }
    const auto size = static_cast<std::uint32_t>(code.size());
    const unsigned char* chosen[3] = {};
    findPatterns(code.data(), size, engineBytePatterns, chosen);
    const unsigned char* chosenAlone = find(code, enginePatterns[1].bytes, enginePatterns[1].mask);
    ASSERT_NE(chosen[2], nullptr);
    for (const VectorPath path : pattern_scan::allPaths) {
        const pattern_scan::KernelChoice forced =
            pattern_scan::chooseKernel(pattern_scan::keyOf(path));
        EXPECT_EQ(forced.forced, pattern_scan::runs(path)) << pattern_scan::nameOf(path);
        if (!forced.forced) {
            continue;
        }
        EXPECT_TRUE(forced.one == path && forced.several == path);
        const unsigned char* found[3] = {};
        pattern_scan::findPatternsOn(forced.several, code.data(), size, engineBytePatterns, found);
        EXPECT_TRUE(std::equal(found, found + 3, chosen)) << pattern_scan::nameOf(path);
        const unsigned char* alone = nullptr;
        pattern_scan::findPatternsOn(forced.one, code.data(), size,
                                     std::span(&engineBytePatterns[1], 1), std::span(&alone, 1));
        EXPECT_EQ(alone, chosenAlone) << pattern_scan::nameOf(path);
    }
}

// The tree that joins a step's hits, over plain integers: every count of masks a kernel joins (up
// to eight, which only the AVX-512 kernel reaches), each with one mask set in turn, is seen as
// holding a hit, and none set as none.
TEST(HitTree, SeesAHitInEveryMaskOfEveryCount) {
    struct Plain {
        using Hits = std::uint64_t;
        static Hits either(Hits a, Hits b) { return a | b; }
        static bool none(Hits a) { return a == 0; }
        static bool noneOf(Hits a, Hits b) { return (a | b) == 0; }
    };
    const auto check = [&]<std::size_t Count>(std::integral_constant<std::size_t, Count>) {
        std::uint64_t hits[Count] = {};
        EXPECT_TRUE((pattern_scan::noneIn<Plain, Count>(hits))) << Count;
        for (std::size_t set = 0; set < Count; ++set) {
            std::uint64_t one[Count] = {};
            one[set] = std::uint64_t{1} << (7 * set);
            EXPECT_FALSE((pattern_scan::noneIn<Plain, Count>(one))) << Count << " " << set;
        }
    };
    [&]<std::size_t... Counts>(std::index_sequence<Counts...>) {
        (check(std::integral_constant<std::size_t, Counts + 1>{}), ...);
    }
    (std::make_index_sequence<8>{});
}

TEST(FindPattern, LowestMatchWins) {
    std::vector<unsigned char> buffer(300, 0x90);
    for (std::size_t at : {200u, 40u, 42u, 250u}) {
        buffer[at] = 0x48;
        buffer[at + 1] = 0x8B;
    }
    EXPECT_EQ(find(buffer, "\x48\x8B", "xx"), buffer.data() + 40);
}

TEST(FindPattern, EveryMaskCharacterButLowercaseXAcceptsAnyByte) {
    std::vector<unsigned char> buffer(100, 0x11);
    buffer[70] = 0xAA;
    buffer[73] = 0xBB;
    EXPECT_EQ(find(buffer, "\xAA\x00\x00\xBB", "x??x"), buffer.data() + 70);
    EXPECT_EQ(find(buffer, "\xAA\x00\x00\xBB", "x.Xx"), buffer.data() + 70);
    EXPECT_EQ(find(buffer, "\xAA\x00\x00\xBB", "x  x"), buffer.data() + 70);
    EXPECT_EQ(find(buffer, "\xAA\x00\x00\xBB", "xxxx"), nullptr);
}

TEST(FindPattern, NullWhenAbsent) {
    std::vector<unsigned char> buffer(5000, 0x48);
    EXPECT_EQ(find(buffer, enginePatterns[0].bytes, enginePatterns[0].mask), nullptr);
}

TEST(FindPattern, FindsAnOccurrenceEndingAtTheEndOfTheRange) {
    const EnginePattern& pattern = enginePatterns[2];
    const std::size_t length = std::strlen(pattern.mask);
    for (std::size_t size : {length, length + 1, std::size_t{15}, std::size_t{16}, std::size_t{64},
                             std::size_t{100}, std::size_t{4096}}) {
        if (size < length) {
            continue;
        }
        GuardedBuffer buffer(size);
        std::memset(buffer.data(), 0, size);
        std::memcpy(buffer.data() + size - length, pattern.bytes, length);
        EXPECT_EQ(findPattern(buffer.data(), static_cast<std::uint32_t>(size), pattern.bytes,
                              pattern.mask, 0),
                  buffer.data() + size - length)
            << "range of " << size << " bytes";
    }
}

TEST(FindPattern, RangeShorterThanThePatternReadsNothing) {
    EXPECT_EQ(findPattern(nullptr, 12, enginePatterns[0].bytes, enginePatterns[0].mask, 0),
              nullptr);
    EXPECT_EQ(findPattern(nullptr, 0, "\x48", "x", 0), nullptr);
}

TEST(FindPattern, OffsetIsAddedToTheMatch) {
    std::vector<unsigned char> buffer(64, 0);
    buffer[30] = 0x7F;
    EXPECT_EQ(find(buffer, "\x7F", "x", 5), buffer.data() + 35);
    EXPECT_EQ(find(buffer, "\x7F", "x", -30), buffer.data());
}

TEST(FindPattern, MaskWithoutFixedBytesMatchesAtTheStart) {
    std::vector<unsigned char> buffer(10, 0x33);
    EXPECT_EQ(find(buffer, "\x00\x00\x00", "???"), buffer.data());
    EXPECT_EQ(find(buffer, "", ""), buffer.data());
}

} // namespace
