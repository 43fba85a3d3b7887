// Where functions begin and end, as MSVC, mingw and clang lay them out: leaf getters and tail
// calls without an exception entry, int3 and every multi-byte nop form between them, functions
// with an entry, jump thunks; and that signatures never run past their function.

#include "scan/image/function_map.hpp"
#include "scan/signature/make_signature.hpp"

#include "pe_file.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace testing_support::pe;
using namespace testing_support::game;

namespace {

struct Layout {
    const char* what;
    std::string code;                                                  // at .text, textRva
    std::vector<std::pair<std::uint32_t, std::uint32_t>> functions;    // expected, as offsets
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries = {}; // the exception directory
};

PeLayout laidOut(const Layout& layout) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> entries;
    for (const auto& [begin, end] : layout.entries) {
        entries.emplace_back(textRva + begin, textRva + end);
    }
    return entries.empty()
               ? layoutOf(layout.code)
               : layoutOf(layout.code, {0x3000, static_cast<std::uint32_t>(12 * entries.size())},
                          runtimeFunctions(entries));
}

TEST(FunctionMap, FindsEachFunctionsExtentAndItsNeighbours) {
    const Layout layouts[] = {
        {"MSVC leaf getters between int3",
         hexBytes("8B 41 40 C3 CC CC CC CC CC CC CC CC CC CC CC CC "
                  "48 8B 41 08 48 05 70 0E 00 00 C3 CC CC CC CC CC "
                  "48 8B 41 08 48 05 B8 90 00 00 C3 CC"),
         {{0x00, 0x04}, {0x10, 0x1B}, {0x20, 0x2B}}},
        {"a tail call, then a function that returns past a ret",
         hexBytes("48 83 C1 18 E9 00 01 00 00 CC CC CC CC CC CC CC "
                  "85 C9 74 01 C3 B8 01 00 00 00 C3 CC"),
         {{0x00, 0x09}, {0x10, 0x1B}}},
        {"mingw: nop padding",
         hexBytes("8B 41 08 C3 90 90 90 90 90 90 90 90 90 90 90 90 "
                  "8B 41 10 C3 66 90 0F 1F 00 0F 1F 40 00 0F 1F 00 "
                  "31 C0 C3 90"),
         {{0x00, 0x04}, {0x10, 0x14}, {0x20, 0x23}}},
        {"clang: each multi-byte nop form",
         hexBytes("8B 41 08 C3 0F 1F 80 00 00 00 00 0F 1F 44 00 00 "
                  "8B 41 10 C3 66 0F 1F 44 00 00 66 0F 1F 44 00 00 "
                  "8B 41 18 C3 66 2E 0F 1F 84 00 00 00 00 00 66 90 "
                  "8B 41 20 C3 66 66 2E 0F 1F 84 00 00 00 00 00 90 "
                  "8B 41 28 C3 0F 1F 84 00 00 00 00 00 0F 1F 00 90 "
                  "31 C0 C3 0F 1F 00"),
         {{0x00, 0x04}, {0x10, 0x14}, {0x20, 0x24}, {0x30, 0x34}, {0x40, 0x44}, {0x50, 0x53}}},
        {"a nop inside a function's flow, and a call that does not return followed by int3",
         hexBytes("85 C9 90 74 02 0F 1F 00 C3 CC CC CC CC CC CC CC "
                  "48 83 EC 28 E8 00 00 00 00 CC CC CC CC CC CC CC "
                  "C3 CC"),
         {{0x00, 0x09}, {0x10, 0x19}, {0x20, 0x21}}},
        {"functions with entries and a leaf between them",
         hexBytes("48 83 EC 28 C3 0F 1F 00 90 48 83 C4 28 C3 CC CC "
                  "8B 41 08 C3 CC CC CC CC CC CC CC CC CC CC CC CC "
                  "48 83 EC 28 48 83 C4 28 C3 CC"),
         {{0x00, 0x0E}, {0x10, 0x14}, {0x20, 0x29}},
         {{0x00, 0x0E}, {0x20, 0x29}}},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.what);
        const scan::ExecutableImage image = imageOf(laidOut(layout));
        const auto& functions = layout.functions;
        for (std::size_t n = 0; n < functions.size(); ++n) {
            const std::uint64_t begin = textRva + functions[n].first;
            const std::uint64_t end = textRva + functions[n].second;
            SCOPED_TRACE(n);
            for (const std::uint64_t inside : {begin, end - 1}) {
                const scan::FunctionExtent found = scan::functionOf(image, inside);
                EXPECT_EQ(found.begin, begin) << inside;
                EXPECT_EQ(found.end, end) << inside;
            }
            EXPECT_TRUE(scan::withinOneFunction(image, begin, end));
            EXPECT_FALSE(scan::withinOneFunction(image, begin, end + 1));
            const auto next = n + 1 < functions.size()
                                  ? std::optional<std::uint64_t>(textRva + functions[n + 1].first)
                                  : std::nullopt;
            if (next) {
                EXPECT_EQ(scan::nextFunctionStart(image, begin), next);
                EXPECT_EQ(scan::previousFunctionStart(image, *next), begin);
                // The padding after a function belongs to none.
                for (std::uint64_t at = end; at < *next; ++at) {
                    EXPECT_LE(scan::functionOf(image, at).end, at) << at;
                }
            }
        }
        EXPECT_FALSE(scan::previousFunctionStart(image, textRva + functions.front().first));
    }
}

TEST(FunctionMap, KnowsPaddingAndJumpThunks) {
    const std::pair<const char*, std::size_t> padding[] = {
        {"CC", 1},
        {"90", 1},
        {"66 90", 2},
        {"0F 1F 00", 3},
        {"0F 1F 40 00", 4},
        {"0F 1F 44 00 00", 5},
        {"66 0F 1F 44 00 00", 6},
        {"0F 1F 80 00 00 00 00", 7},
        {"0F 1F 84 00 00 00 00 00", 8},
        {"66 0F 1F 84 00 00 00 00 00", 9},
        {"66 2E 0F 1F 84 00 00 00 00 00", 10},
        {"66 66 2E 0F 1F 84 00 00 00 00 00", 11},
        {"0F 0B", 0},    // ud2
        {"66 89 C8", 0}, // mov ax, cx
        {"0F 05", 0},    // syscall
        {"C3", 0},
    };
    for (const auto& [bytes, length] : padding) {
        const scan::ExecutableImage image = imageOf(layoutOf(hexBytes(std::string(bytes) + " C3")));
        EXPECT_EQ(scan::paddingAt(image, textRva), length) << bytes;
    }

    // A lone jmp rel32 after int3 or nop padding, without an exception entry, stands for its
    // target; inside a function's code it does not; nor does a jmp that another instruction
    // comes right before, short of a table of such jumps.
    const std::string code = hexBytes("C3 CC CC CC E9 00 01 00 00 CC CC CC CC CC CC CC "
                                      "C3 0F 1F 40 00 E9 00 01 00 00 CC CC CC CC CC CC "
                                      "85 C9 E9 00 01 00 00 CC CC CC CC CC CC CC CC CC "
                                      "E9 00 01 00 00 E9 00 01 00 00 E9 00 01 00 00 CC");
    const scan::ExecutableImage image = imageOf(layoutOf(code));
    const std::pair<std::uint32_t, bool> thunks[] = {{0x04, true}, {0x15, true}, {0x22, false},
                                                     {0x30, true}, {0x35, true}, {0x3A, true}};
    for (const auto& [at, thunk] : thunks) {
        EXPECT_EQ(scan::isJumpThunk(image, textRva + at), thunk) << at;
    }
}

// No signature holds padding or a byte of the next function: where the getter is too short to be
// unique, there is none, and the tool says so.
TEST(FunctionMap, SignaturesStayInsideTheirFunction) {
    const std::string getters = hexBytes("48 8B 41 08 48 05 70 0E 00 00 C3 CC CC CC CC CC "
                                         "48 8B 41 08 48 05 B8 90 00 00 C3 CC CC CC CC CC "
                                         "48 8B 41 08 48 05 70 0E 00 00 C3 0F 1F 40 00 90 "
                                         "48 83 C1 18 E9 00 01 00 00 CC CC CC CC CC CC CC "
                                         "44 0F B6 81 98 01 00 00 C3 CC");
    const scan::ExecutableImage image = imageOf(layoutOf(getters));
    for (const std::uint32_t at : {0x00u, 0x20u}) {
        const scan::Outcome<scan::MadeSignature> made = scan::makeSignature(image, textRva + at);
        ASSERT_FALSE(made) << scan::notation(made->signature);
        EXPECT_NE(made.error().detail.find("to the end of its function"), std::string::npos)
            << made.error().detail;
    }
    for (const std::uint32_t at : {0x10u, 0x30u, 0x40u}) {
        const scan::Outcome<scan::MadeSignature> made = scan::makeSignature(image, textRva + at);
        ASSERT_TRUE(made) << made.error().detail;
        EXPECT_TRUE(scan::withinOneFunction(image, made->rva, made->rva + made->signature.length()))
            << scan::notation(made->signature);
    }
}

// MSVC lists the code after a late register save as a part of its own, chained to the function's
// entry and right after it: one function with it, so that a signature may run on into it. A
// function that merely begins where another ends, and a part chained to a function elsewhere, stay
// apart.
TEST(FunctionMap, APartRightAfterTheFunctionItIsChainedToContinuesIt) {
    const std::string start = "48 83 EC 28 48 8B D9 48 8B 41 08 48 85 C0 74 05 ";
    const std::string code = hexBytes(start + "48 89 74 24 30 8B 70 10 48 8B C6 48 83 C4 28 C3 " +
                                      start + "33 C0 33 C9 90 C3 48 83 C4 28 48 8B C3 5B C3 CC");
    // F at 0x00 with its part at 0x10; G at 0x20 (its first 16 bytes F's); at 0x36 a part of F's.
    const std::string pdata = withChainedUnwind(
        runtimeFunctions({{0x1000, 0x1010}, {0x1010, 0x1020}, {0x1020, 0x1036}, {0x1036, 0x103F}},
                         {0x3100, 0x3110, 0x3100, 0x3110}),
        0x1000, 0x1010);
    const scan::ExecutableImage image = imageOf(layoutOf(code, {0x3000, 48}, pdata));
    const std::pair<std::uint32_t, scan::FunctionExtent> extents[] = {
        {0x1000, {0x1000, 0x1020}},
        {0x101F, {0x1000, 0x1020}},
        {0x1020, {0x1020, 0x1036}},
        {0x1036, {0x1036, 0x103F}},
    };
    for (const auto& [at, extent] : extents) {
        const scan::FunctionExtent found = scan::functionOf(image, at);
        EXPECT_EQ(found.begin, extent.begin) << at;
        EXPECT_EQ(found.end, extent.end) << at;
    }
    EXPECT_EQ(scan::nextFunctionStart(image, 0x1000), std::optional<std::uint64_t>(0x1020));
    // F's first part alone is G's start too; with its part, F's start has a signature.
    const scan::Outcome<scan::MadeSignature> made = scan::makeSignature(image, 0x1000);
    ASSERT_TRUE(made) << made.error().detail;
    EXPECT_EQ(made->rva, 0x1000u);
    EXPECT_GT(made->signature.length(), 16u);
}

} // namespace
