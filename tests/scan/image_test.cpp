#include "scan/cli/commands.hpp"
#include "scan/engine/engine_findings.hpp"
#include "scan/image/image.hpp"

#include "engine/locator.hpp"
#include "engine/pattern.hpp"
#include "orvelin_version.hpp"
#include "pe_file.hpp"
#include "platform/module_image.hpp"
#include "runner/engine_image.hpp"
#include "support.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <filesystem>

using testing_support::GuardedBuffer;
using testing_support::readFile;
using testing_support::ScratchFolder;
using testing_support::writeFile;
using namespace testing_support::pe;
using namespace testing_support::game;

namespace {

// The image, or why not in error.
std::optional<scan::ExecutableImage> layOut(std::string_view file, std::string& error) {
    scan::Outcome<scan::ExecutableImage> image = scan::layOutImage(file);
    if (!image) {
        error = image.error().detail;
        return std::nullopt;
    }
    return std::move(*image);
}

TEST(LayOutImage, SectionsLandAtTheirVirtualAddresses) {
    std::string error;
    const auto image = layOut(makePe(gameWith({0, 1, 2})), error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->bytes.size(), 0x4500000u);
    EXPECT_EQ(std::memcmp(image->bytes.data(), "MZ", 2), 0);
    EXPECT_EQ(image->bytes[0x2000], 'd');
    EXPECT_EQ(image->bytes[0x2010], 0) << "past VirtualSize stays zero";
    EXPECT_EQ(image->sectionAt(0x2000), ".data");
    EXPECT_EQ(image->sectionAt(0x10), "");
    EXPECT_EQ(image->sectionAt(0x44FFFFF), ".bss");
}

TEST(FindEngineGlobals, ReportsEachPatternAndWhereItsGlobalLies) {
    std::string error;
    const auto image = layOut(makePe(gameWith({0, 1, 2})), error);
    ASSERT_TRUE(image) << error;
    const std::vector<scan::PatternFinding> findings = scan::findEngineGlobals(*image);
    ASSERT_EQ(findings.size(), 3u);
    for (int n = 0; n < 3; ++n) {
        const scan::PatternFinding& finding = findings[static_cast<std::size_t>(n)];
        EXPECT_EQ(finding.pattern, n + 1);
        EXPECT_TRUE(finding.found);
        EXPECT_EQ(finding.matchRva, textAddress + 0x100u * static_cast<unsigned>(n + 1));
        EXPECT_EQ(finding.global.rva, globalAddresses[n]);
        EXPECT_EQ(finding.global.section, ".bss");
    }
}

TEST(FindEngineGlobals, AMissingPatternIsReportedAlone) {
    std::string error;
    const auto image = layOut(makePe(gameWith({0, 2})), error);
    ASSERT_TRUE(image) << error;
    const auto findings = scan::findEngineGlobals(*image);
    EXPECT_TRUE(findings[0].found);
    EXPECT_FALSE(findings[1].matched);
    EXPECT_FALSE(findings[1].found);
    EXPECT_TRUE(findings[2].found);
}

TEST(FindEngineGlobals, TheFirstGlobalCountsOnlyWithAllEightBytesInTheImage) {
    // As the plug-in judges it: global 1 at 0x3400100 in an image ending 1, 4, 7 or 8 bytes after
    // it; the tool's own reports of where a match refers to judge it alike.
    for (const auto& [imageSize, found] : {std::pair{0x3400101u, false},
                                           {0x3400104u, false},
                                           {0x3400107u, false},
                                           {0x3400108u, true}}) {
        PeLayout layout = gameWith({0, 1, 2});
        layout.imageSize = imageSize;
        layout.sections.pop_back();
        std::string error;
        const auto image = layOut(makePe(layout), error);
        ASSERT_TRUE(image) << error;
        EXPECT_EQ(scan::findEngineGlobals(*image)[0].found, found) << imageSize;
        EXPECT_EQ(image->holdsGlobal(0x3400100), found) << imageSize;
        const scan::PatternReport report =
            scan::checkPattern(*image, "", *scan::parseSignature("48 8B 05"));
        ASSERT_EQ(report.refersTo.size(), 1u);
        EXPECT_EQ(report.refersTo[0]->insideImage, found) << imageSize;
    }
}

TEST(LayOutImage, HeadersLargerThanTheImageAreCopiedOnlyAsFarAsTheImage) {
    // SizeOfHeaders past SizeOfImage in a file longer than both: the headers are cut at the
    // image's end (under AddressSanitizer a write past it is reported).
    PeLayout layout{{{".text", 0x800, 0x100, std::string(0x2000, '\xCC')}}, 0x1000};
    layout.headersSize = 0x3000;
    std::string error;
    const auto image = layOut(makePe(layout), error);
    ASSERT_TRUE(image) << error;
    EXPECT_EQ(image->bytes.size(), 0x1000u);
    EXPECT_EQ(image->bytes[0x800], 0xCC);
}

TEST(FindEngineGlobals, AFirstGlobalOutsideTheImageIsNoFinding) {
    PeLayout layout = gameWith({0, 1, 2});
    layout.imageSize = 0x3400000;
    layout.sections.pop_back();
    std::string error;
    const auto image = layOut(makePe(layout), error);
    ASSERT_TRUE(image) << error;
    const auto findings = scan::findEngineGlobals(*image);
    EXPECT_TRUE(findings[0].matched);
    EXPECT_FALSE(findings[0].found) << "the plug-in reads no value from outside the image";
    EXPECT_TRUE(findings[1].found) << "the plug-in keeps an address without reading it";
    EXPECT_FALSE(findings[1].global.insideImage);
}

TEST(LayOutImage, RefusesFilesThatAreNoUsablePe32PlusImage) {
    const std::string good = makePe(gameWith({0}));
    auto variant = [&](auto change) {
        std::string file = good;
        change(file);
        return file;
    };
    const std::pair<std::string, std::string> cases[] = {
        {"", "not a PE file at all"},
        {"MZ", "not a PE file at all"},
        {std::string(0x200, 'x'), "not a PE file at all"},
        {good.substr(0, 0x50), "truncated headers"},
        {good.substr(0, 0x100), "truncated headers"},
        {good.substr(0, 0x160), "section table"},
        {good.substr(0, 0x200), "section .text lies outside the file"},
        {variant([](std::string& f) { put32(f, 0x3C, 0xFFFFFFF0); }), "truncated headers"},
        {variant([](std::string& f) { f[peHeader] = 'N'; }), "no PE signature"},
        {variant([](std::string& f) { put16(f, peHeader + 4, 0x14C); }), "not 64-bit"},
        {variant([](std::string& f) { put16(f, optionalHeader, 0x10B); }), "not 64-bit"},
        {variant([](std::string& f) { put16(f, peHeader + 20, 16); }), "truncated headers"},
        {variant([](std::string& f) { put32(f, optionalHeader + 56, 0); }), "absurd SizeOfImage"},
        {variant([](std::string& f) { put32(f, optionalHeader + 56, 0xFFFFFFFF); }),
         "absurd SizeOfImage"},
        {variant([](std::string& f) { put32(f, sectionTable + 20, 0x7FFFFFF0); }),
         "section .text lies outside the file"},
        {variant([](std::string& f) { put32(f, sectionTable + 12, 0x44FFF00); }),
         "section .text lies outside the image"},
        {variant([](std::string& f) { put16(f, peHeader + 6, 0xFFFF); }), "section table"},
    };
    for (const auto& [file, reason] : cases) {
        std::string error;
        EXPECT_FALSE(layOut(file, error)) << reason;
        EXPECT_NE(error.find(reason), std::string::npos) << error;
    }
}

TEST(LayOutImage, EveryTruncationOfAFileGetsAClearOutcome) {
    PeLayout layout = gameWith({0, 1, 2});
    layout.imageSize = 0x5000;
    layout.sections.pop_back();
    const std::string file = makePe(layout);
    const std::size_t textData = file.find('\xCC'); // where .text's raw data begins
    for (std::size_t length = 0; length <= file.size(); ++length) {
        // Exactly the cut file's bytes, ending where an unreadable page begins: any read past
        // the end faults.
        GuardedBuffer cut(length);
        std::memcpy(cut.data(), file.data(), length);
        std::string error;
        const auto image =
            layOut(std::string_view(reinterpret_cast<const char*>(cut.data()), length), error);
        EXPECT_EQ(image.has_value(), error.empty()) << length;
        if (length > textData && length < textData + 0x400) {
            EXPECT_EQ(error, "section .text lies outside the file") << length;
        }
        if (image) {
            scan::findEngineGlobals(*image);
        }
    }
}

} // namespace
