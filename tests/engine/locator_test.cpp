#include "engine/locator.hpp"
#include "engine/pattern.hpp"

#include "runner/engine_image.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using testing_support::Capture;
using testing_support::GuardedBuffer;

namespace {

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
