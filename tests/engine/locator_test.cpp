#include "engine/locator.hpp"
#include "engine/pattern.hpp"
#include "pattern/kernels.hpp"

#include "runner/engine_image.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <random>
#include <vector>

using testing_support::Capture;
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
        const std::size_t length = shape == 5 ? pattern_scan::anchorReach + 1 + pick(24) : 1 + pick(24);
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
            std::fill_n(mask.begin(), pattern_scan::anchorReach, '?');
        }
    };
    for (const VectorPath path : pattern_scan::allPaths) {
        if (!pattern_scan::runs(path)) {
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
            std::vector<const unsigned char*> firsts(count);
            pattern_scan::findPatternsOn(path, buffer.data(), size, patterns, firsts);
            for (std::size_t k = 0; k < count; ++k) {
                ASSERT_EQ(firsts[k], scanByteByByte(buffer.data(), size, patterns[k].bytes,
                                                    patterns[k].mask, 0))
                    << "round " << round << ", pattern " << k << " of " << count << ", mask "
                    << masks[k] << ", size " << size;
            }
            // Every match, not only the first: each pattern's in ascending order.
            std::vector<std::vector<const unsigned char*>> every(count);
            pattern_scan::forEachMatchOn(path, buffer.data(), size, patterns,
                                         [&](std::size_t k, const unsigned char* match) {
                                             every[k].push_back(match);
                                             return true;
                                         });
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

TEST(ReferencedLocation, IsTheEndOfTheInstructionPlusAnUnsignedLittleEndianDisplacement) {
    const unsigned char instruction[7] = {0x48, 0x8B, 0x05, 0x10, 0x32, 0x54, 0x03};
    EXPECT_EQ(referencedLocation(instruction),
              reinterpret_cast<std::uintptr_t>(instruction) + 7 + 0x03543210u);
    const unsigned char high[7] = {0x48, 0x8B, 0x05, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(referencedLocation(high), reinterpret_cast<std::uintptr_t>(high) + 7 + 0xFFFFFFFFu);
}

TEST(FindEngineReferences, ThePatternTableItselfIsNoOccurrence) {
    const EnginePattern& pattern = enginePatterns[1];
    const auto* table = reinterpret_cast<const unsigned char*>(pattern.bytes);
    const auto length = static_cast<std::uint32_t>(std::strlen(pattern.mask));
    ASSERT_EQ(findPattern(table, length, pattern.bytes, pattern.mask, 0), table);
    EXPECT_FALSE(findEngineReferences(table, length)[1].has_value());

    std::vector<unsigned char> copy(table, table + length);
    const auto found =
        findEngineReferences(copy.data(), static_cast<std::uint32_t>(copy.size()))[1];
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->match, copy.data());
}

class Locate : public ::testing::Test {
protected:
    void SetUp() override { engineGlobal1 = engineGlobal2 = engineGlobal3 = 0; }
    void TearDown() override { SetUp(); }
};

TEST_F(Locate, FindsTheGlobalsOfTheRunningExecutable) {
    // This program carries the runner's engine instructions and globals, as a game does.
    runner::startEngine();
    Capture capture;
    locateEngineGlobals();
    EXPECT_EQ(capture.file(), "") << "nothing logged when all three are found";
    const runner::EngineGlobals globals = runner::engineGlobals();
    EXPECT_NE(*globals.global1, 0u);
    EXPECT_EQ(engineGlobal1, *globals.global1);
    EXPECT_EQ(engineGlobal2, reinterpret_cast<std::uintptr_t>(globals.global2));
    EXPECT_EQ(engineGlobal3, reinterpret_cast<std::uintptr_t>(globals.global3));
}

TEST_F(Locate, UnreadableModuleInformationScansNothing) {
    Capture capture;
    locateEngineGlobals(std::nullopt);
    EXPECT_EQ(capture.file(),
              "[Orvelin] Could not read the game executable's module information\n");
    EXPECT_EQ(engineGlobal1 | engineGlobal2 | engineGlobal3, 0u);
}

TEST_F(Locate, MissingPatternsAreLoggedAndTheOthersStillFound) {
    // Patterns 2 and 3 planted; 1 absent.
    std::vector<unsigned char> image(256, 0xCC);
    for (std::size_t n : {1u, 2u}) {
        const std::size_t at = 64 * n;
        std::memcpy(image.data() + at, enginePatterns[n].bytes,
                    std::strlen(enginePatterns[n].mask));
        image[at + 3] = 0x20;
    }
    Capture capture;
    locateEngineGlobals(
        platform::ModuleImage{image.data(), static_cast<std::uint32_t>(image.size())});
    EXPECT_EQ(capture.file(), "[Orvelin] Engine global 1 was not found in the game executable\n");
    EXPECT_EQ(engineGlobal1, 0u);
    EXPECT_EQ(engineGlobal2, reinterpret_cast<std::uintptr_t>(image.data()) + 64 + 7 + 0x04000020);
    EXPECT_EQ(engineGlobal3, reinterpret_cast<std::uintptr_t>(image.data()) + 128 + 7 + 0x04000020);
}

TEST_F(Locate, AValueIsNeverReadFromOutsideTheImage) {
    // Pattern 1 present, but its global would lie 48 MiB past this small image.
    GuardedBuffer image(64);
    std::memset(image.data(), 0, image.size());
    std::memcpy(image.data(), enginePatterns[0].bytes, std::strlen(enginePatterns[0].mask));
    Capture capture;
    locateEngineGlobals(
        platform::ModuleImage{image.data(), static_cast<std::uint32_t>(image.size())});
    EXPECT_EQ(capture.file(), "[Orvelin] Engine global 1 was not found in the game executable\n"
                              "[Orvelin] Engine global 2 was not found in the game executable\n"
                              "[Orvelin] Engine global 3 was not found in the game executable\n");
    EXPECT_EQ(engineGlobal1, 0u);
}

TEST_F(Locate, TheFirstGlobalIsReadOnlyWhenAllEightBytesLieInTheImage) {
    // Large enough for pattern 1's displacement (top byte 03) to reach the end of the image,
    // which ends where an unreadable page begins.
    const std::size_t size = 0x3000000 + 4096;
    GuardedBuffer image(size);
    std::memcpy(image.data(), enginePatterns[0].bytes, std::strlen(enginePatterns[0].mask));
    const std::uint64_t last = 0x1122334455667788;
    std::memcpy(image.data() + size - 8, &last, 8);
    const std::pair<std::size_t, bool> cases[] = {
        {size - 9, true}, {size - 8, true}, {size - 7, false}, {size - 1, false}, {size, false}};
    for (const auto& [global, read] : cases) {
        const auto displacement = static_cast<std::uint32_t>(global - 7);
        std::memcpy(image.data() + 3, &displacement, 4);
        engineGlobal1 = 0;
        Capture capture;
        locateEngineGlobals(platform::ModuleImage{image.data(), static_cast<std::uint32_t>(size)});
        std::uint64_t expected = 0;
        if (read) {
            std::memcpy(&expected, image.data() + global, 8);
        }
        EXPECT_EQ(engineGlobal1, expected) << size - global << " bytes before the end";
        EXPECT_EQ(capture.file().find("Engine global 1 was not found") != std::string::npos, !read)
            << size - global << " bytes before the end";
    }
}

} // namespace
