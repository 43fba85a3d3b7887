// Signatures in the modder's notation.

#include "scan/signature/signature.hpp"

#include <gtest/gtest.h>

namespace {

TEST(Signature, NotationReadsAndWritesBack) {
    const std::pair<const char*, const char*> cases[] = {
        {"48 8B 05 ?? ?? ?? 03 48 85 C0", "48 8B 05 ?? ?? ?? 03 48 85 C0"},
        {"  48\t8b ? ?? e8  ", "48 8B ?? ?? E8"},
        {"?? 00 ff", "?? 00 FF"},
    };
    for (const auto& [text, written] : cases) {
        const scan::Outcome<scan::Signature> signature = scan::parseSignature(text);
        ASSERT_TRUE(signature) << text << ": " << signature.error().detail;
        EXPECT_EQ(scan::notation(*signature), written);
        EXPECT_EQ(scan::parseSignature(written)->bytes, signature->bytes);
    }
    const auto signature = scan::parseSignature("48 ?? 0D");
    EXPECT_EQ(signature->mask, "x?x");
    EXPECT_EQ(scan::escapedBytes(*signature), "\\x48\\x00\\x0D");
}

} // namespace
