// An old function whose entry a new build moved into a wrapper, its body behind it: which of the
// two it pairs with.

#include "hand_built.hpp"
#include "scan/match/match.hpp"

#include <gtest/gtest.h>

#include <algorithm>
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

} // namespace
