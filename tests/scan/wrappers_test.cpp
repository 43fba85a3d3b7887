// An old function whose entry a new build moved into a wrapper, its body behind it: which of the
// two it pairs with.

#include "hand_built.hpp"
#include "scan/match/match.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <vector>

using testing_support::hand::built;
using testing_support::hand::code;
using testing_support::hand::Made;

namespace {

TEST(Wrappers, AnEntryMovedIntoANewWrapperPairsWithTheWrapperOnlyWhereTheBodyGrewBehindIt) {
    // F's body is carried by its constant and its imports; in the new build a wrapper X (at
    // 0x1100) that passes one more argument leads to the body Y (0x1200), which grew by it.
    const Made p{"P", code(100, 8), {}, {1}};
    const Made q{"Q", code(200, 8), {}, {2}};
    const auto body = [](std::uint32_t steps) {
        std::vector<std::uint32_t> shapes = code(500, std::min(steps, 20u));
        for (std::uint32_t k = 20; k < steps; ++k) {
            shapes.push_back(900 + k);
        }
        return Made{"Y", shapes, {}, {7}, {3, 4}};
    };
    const Made f{"F", code(500, 20), {}, {7}, {3, 4}};
    const Made x{"X", {61, 62, 63}, {{2, "Y"}}};
    const Made y = body(24);
    struct Case {
        const char* what;
        std::vector<Made> newer;
        bool moved = false;
        std::vector<Made> older = {};
        bool funclet = false; // X is reached through an exception's data
    };
    const Case cases[] = {
        {"a body that grew behind a new wrapper", {p, x, y, q}, true},
        {"a body that shrank: the function itself, with a new way in", {p, x, body(18), q}},
        {"the same code", {p, x, body(20), q}},
        {"a wrapper the new build's own code calls",
         {p, x, y, Made{"Q", code(200, 8), {{3, "X"}}, {2}}}},
        {"a bare jump, the linker's", {p, Made{"X", {61}, {{0, "Y"}}}, y, q}},
        {"a wrapper of 24 instructions that turns the body's result into another type",
         {p, Made{"X", code(60, 24), {{2, "Y"}}}, y, q},
         true},
        {"25 instructions: code of its own", {p, Made{"X", code(60, 25), {{2, "Y"}}}, y, q}},
        {"a wrapper that leads to two functions",
         {p, Made{"X", {61, 62, 63}, {{0, "Q"}, {2, "Y"}}}, y, q}},
        {"two wrappers lead to the body", {p, x, y, q, Made{"X2", {71, 72, 73}, {{2, "Y"}}}}},
        {"a funclet, reached through an exception's data", {p, x, y, q}, false, {}, true},
        {"the old function was a wrapper itself",
         {p, x, y, q},
         false,
         {p, Made{"F", {81, 82, 83}, {{2, "Q"}}, {7}, {3, 4}}, q}},
        {"the old build wrapped it too",
         {p, x, y, q},
         false,
         {p, f, q, Made{"W", {81, 82, 83}, {{2, "F"}}}}},
    };
    for (const Case& each : cases) {
        scan::BuildFunctions newer = built(each.newer);
        if (each.funclet) {
            newer.funclets = {1};
        }
        const scan::BuildMatch match = scan::matchFunctions(
            built(each.older.empty() ? std::vector{p, f, q} : each.older), newer);
        const scan::FunctionPair* pair = match.pairOf(0x1100);
        ASSERT_NE(pair, nullptr) << each.what;
        EXPECT_EQ(pair->newRva, each.moved ? 0x1100u : 0x1200u) << each.what;
        EXPECT_EQ((pair->evidence & static_cast<scan::EvidenceSet>(scan::Evidence::wrapper)) != 0,
                  each.moved)
            << each.what;
        // The body left behind is new code, listed as added.
        if (each.moved) {
            EXPECT_EQ(match.added, (std::vector<std::uint64_t>{0x1200})) << each.what;
        }
    }
}

TEST(Wrappers, VotesForANewWrapperAndForItsBodyAreOnePlace) {
    // F's callers C now call X, which leads to F's body Y: the aligned call votes for X, while
    // F's constant, imports and code vote for whichever of the two now holds them.
    const Made p{"P", code(100, 8), {}, {1}};
    const Made q{"Q", code(200, 8), {}, {2}};
    std::vector<std::uint32_t> grown = code(500, 20);
    grown.insert(grown.end(), {930, 931, 932, 933});
    const Made f{"F", code(500, 20), {}, {7}, {3, 4}};
    const Made y{"Y", grown, {}, {7}, {3, 4}};
    const auto caller = [](const char* calls) {
        return Made{"C", code(300, 8), {{4, calls}}, {5}};
    };
    const scan::BuildFunctions older = built({p, f, q, caller("F")});
    struct Case {
        const char* what;
        Made x;
        std::optional<std::uint64_t> expected;
        Made body = Made{"Y", {}};
        const char* called = "X";
    };
    const Case cases[] = {
        {"paired with its body first, then its callers call a wrapper in front of it: the entry "
         "moved, and the pair is undone",
         {"X", {61, 62, 63}, {{2, "Y"}}},
         std::nullopt},
        {"paired with a wrapper first, then its callers' calls are found behind it: the pair "
         "stands",
         {"X", {61, 62, 63}, {{2, "Y"}}, {7}, {3, 4}},
         0x1100,
         {"Y", grown},
         "Y"},
        {"unpaired, the wrapper holds the old constant and the body the imports: two places, a "
         "wrapper is code of its own",
         {"X", {61, 62, 63}, {{2, "Y"}}, {7}},
         std::nullopt,
         {"Y", grown, {}, {}, {3, 4}}},
        {"unpaired, the wrapper calls the old imports and the body holds the rest: two places",
         {"X", {61, 62, 63}, {{2, "Y"}}, {}, {3, 4}},
         std::nullopt,
         {"Y", grown, {}, {7}},
         "Y"},
        {"a bare jump to another function, the old code and constant elsewhere: two places",
         {"X", {61}, {{0, "Q"}}},
         std::nullopt,
         {"Y", code(500, 20), {}, {7}}},
        {"a bare jump, the linker's: the body itself", {"X", {61}, {{0, "Y"}}}, 0x1200},
        {"a bare jump in front of a body that kept no constant: the body, by its code and place",
         {"X", {61}, {{0, "Y"}}},
         0x1200,
         {"Y", grown}},
        {"a function that leads to the body and to Q as well: two places",
         {"X", {61, 62, 63}, {{0, "Q"}, {2, "Y"}}},
         std::nullopt},
        {"a function that leads nowhere: two places", {"X", {61, 62, 63}}, std::nullopt},
        {"one that leads nowhere and holds the old constant, the old code elsewhere: two places",
         {"X", {61, 62, 63}, {}, {7}},
         std::nullopt,
         {"Y", code(500, 20)}},
    };
    for (const Case& each : cases) {
        const Made& body = each.body.shapes.empty() ? y : each.body;
        const scan::BuildMatch match =
            scan::matchFunctions(older, built({p, each.x, body, q, caller(each.called)}));
        EXPECT_EQ(match.newFunctionOf(0x1100), each.expected) << each.what;
    }
}

} // namespace
