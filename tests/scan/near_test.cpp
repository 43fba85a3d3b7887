// Near matches against their definition: every place where the whole pattern lies and at least
// one but at most K of its fixed bytes differ, each counted once, fewest differences first.

#include "scan/signature/near.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

// The places by the definition: each candidate compared byte by byte.
std::vector<scan::NearMatch> byDefinition(const std::vector<unsigned char>& bytes,
                                          const BytePattern& pattern, std::size_t differences) {
    const std::size_t length = std::strlen(pattern.mask);
    std::vector<scan::NearMatch> places;
    for (std::size_t at = 0; at + length <= bytes.size(); ++at) {
        std::vector<std::size_t> differing;
        for (std::size_t j = 0; j < length; ++j) {
            if (pattern.mask[j] == 'x' &&
                bytes[at + j] != static_cast<unsigned char>(pattern.bytes[j])) {
                differing.push_back(j);
            }
        }
        if (!differing.empty() && differing.size() <= differences) {
            places.push_back({at, differing});
        }
    }
    std::stable_sort(places.begin(), places.end(), [](const auto& a, const auto& b) {
        return a.differingOffsets.size() < b.differingOffsets.size();
    });
    return places;
}

TEST(NearMatches, AgreeWithTheirDefinition) {
    // Few byte values, so that near places abound; the pattern planted whole and altered.
    std::mt19937 random(7);
    std::vector<unsigned char> bytes(1 << 14);
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(random() % 4);
    }
    const struct {
        const char* bytes;
        const char* mask;
    } patterns[] = {
        {"\x01\x02\x03\x00\x01\x02", "xxxxxx"},
        {"\x01\x00\x03\x00\x02\x02\x01", "x?x?xxx"},
        {"\x03\x03", "xx"}, // fewer fixed bytes than differences allowed: every place but a match
        {"\x02\x00\x00\x01", "x??x"},
    };
    for (const auto& each : patterns) {
        const BytePattern pattern{each.bytes, each.mask};
        for (std::size_t differences = 1; differences <= 3; ++differences) {
            for (const std::size_t most : {std::size_t{5}, std::size_t{100000}}) {
                const scan::NearMatches found =
                    scan::findNearMatches(bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                          pattern, differences, most);
                const std::vector<scan::NearMatch> expected =
                    byDefinition(bytes, pattern, differences);
                ASSERT_EQ(found.total, expected.size()) << each.mask << " " << differences;
                ASSERT_EQ(found.listed.size(), std::min(most, expected.size()));
                for (std::size_t n = 0; n < found.listed.size(); ++n) {
                    EXPECT_EQ(found.listed[n].offset, expected[n].offset) << n;
                    EXPECT_EQ(found.listed[n].differingOffsets, expected[n].differingOffsets);
                }
            }
        }
    }
    // A range shorter than the pattern has none.
    const BytePattern pattern{"\x01\x02", "xx"};
    EXPECT_EQ(scan::findNearMatches(bytes.data(), 1, pattern, 1).total, 0u);
}

TEST(NearMatches, AMarginIsTheFewestDifferencesOfAnyOtherPlace) {
    std::mt19937 random(11);
    std::vector<unsigned char> bytes(1 << 13);
    for (unsigned char& byte : bytes) {
        byte = static_cast<unsigned char>(random() % 6);
    }
    // Signatures cut from the bytes themselves, from short (margin 1) to long (beyond the widest).
    for (const std::size_t length : {4u, 6u, 8u, 10u, 12u, 16u, 24u}) {
        for (const std::size_t at : {100u, 3000u, 7000u}) {
            const std::string text(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                   bytes.begin() + static_cast<std::ptrdiff_t>(at + length));
            const std::string mask(length, 'x');
            const BytePattern pattern{text.c_str(), mask.c_str()};
            const std::vector<scan::NearMatch> near =
                byDefinition(bytes, pattern, scan::widestMargin);
            const std::size_t expected =
                near.empty() ? scan::widestMargin + 1 : near.front().differingOffsets.size();
            const auto size = static_cast<std::uint32_t>(bytes.size());
            EXPECT_EQ(scan::marginOf(bytes.data(), size, pattern), expected) << length << " " << at;
            EXPECT_EQ(scan::marginOf(bytes.data(), size, pattern, expected), expected);
        }
    }
}

} // namespace
