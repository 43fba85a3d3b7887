// An old function whose entry a new build moved into a wrapper, its body behind it: which of the
// two it pairs with.

#include "hand_built.hpp"
#include "scan/match/match.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

using testing_support::hand::built;
using testing_support::hand::code;
using testing_support::hand::Made;

namespace {

// F's code with more after it, as a body that took in a new argument.
std::vector<std::uint32_t> grown(std::uint32_t base, std::uint32_t n, std::uint32_t more) {
    std::vector<std::uint32_t> shapes = code(base, n);
    for (std::uint32_t k = 0; k < more; ++k) {
        shapes.push_back(900 + k);
    }
    return shapes;
}

TEST(Wrappers, AnEntryMovedIntoANewWrapperPairsWithTheWrapperOnlyWhereTheBodyGrewBehindIt) {
    // F's body is carried by its constant and its imports; in the new build a wrapper X that
    // passes one more argument leads to it. F's old place is between P and Q, X's and Y's too.
    const Made p{"P", code(100, 8), {}, {1}};
    const Made q{"Q", code(200, 8), {}, {2}};
    const Made f{"F", code(500, 20), {}, {7}, {3, 4}};
    const auto body = [](std::vector<std::uint32_t> shapes) {
        return Made{"Y", std::move(shapes), {}, {7}, {3, 4}};
    };
    const Made wrapper{"X", {61, 62, 63}, {{2, "Y"}}};
    struct Case {
        const char* what;
        std::vector<Made> older;
        std::vector<Made> newer;
        std::uint64_t expected; // X at 0x1100, Y at 0x1200
        bool funclet = false;   // X is reached through an exception's data
    };
    const Case cases[] = {
        {"a body that grew behind a new wrapper",
         {p, f, q},
         {p, wrapper, body(grown(500, 20, 4)), q},
         0x1100},
        {"a body that shrank: the function itself, with a new way in",
         {p, f, q},
         {p, wrapper, body(code(500, 18)), q},
         0x1200},
        {"the same code", {p, f, q}, {p, wrapper, body(code(500, 20)), q}, 0x1200},
        {"a wrapper the new build's own code calls",
         {p, f, q},
         {p, wrapper, body(grown(500, 20, 4)), Made{"Q", code(200, 8), {{3, "X"}}, {2}}},
         0x1200},
        {"a bare jump, the linker's",
         {p, f, q},
         {p, Made{"X", {61}, {{0, "Y"}}}, body(grown(500, 20, 4)), q},
         0x1200},
        {"a wrapper that leads to two functions",
         {p, f, q},
         {p, Made{"X", {61, 62, 63}, {{0, "Q"}, {2, "Y"}}}, body(grown(500, 20, 4)), q},
         0x1200},
        {"two wrappers lead to the body",
         {p, f, q},
         {p, wrapper, body(grown(500, 20, 4)), q, Made{"X2", {71, 72, 73}, {{2, "Y"}}}},
         0x1200},
        {"a funclet, reached through an exception's data",
         {p, f, q},
         {p, wrapper, body(grown(500, 20, 4)), q},
         0x1200,
         true},
        {"the old function was a wrapper itself",
         {p, Made{"F", {81, 82, 83}, {{2, "Q"}}, {7}, {3, 4}}, q},
         {p, wrapper, body(grown(500, 20, 4)), q},
         0x1200},
        {"the old build wrapped it too",
         {p, f, q, Made{"W", {81, 82, 83}, {{2, "F"}}}},
         {p, wrapper, body(grown(500, 20, 4)), q},
         0x1200},
    };
    for (const Case& each : cases) {
        scan::BuildFunctions newer = built(each.newer);
        if (each.funclet) {
            newer.funclets = {1};
        }
        const scan::BuildMatch match = scan::matchFunctions(built(each.older), newer);
        const scan::FunctionPair* pair = match.pairOf(0x1100);
        ASSERT_NE(pair, nullptr) << each.what;
        EXPECT_EQ(pair->newRva, each.expected) << each.what;
        const bool moved = each.expected == 0x1100;
        EXPECT_EQ((pair->evidence & static_cast<scan::EvidenceSet>(scan::Evidence::wrapper)) != 0,
                  moved)
            << each.what;
        // The body left behind is new code, listed as added.
        if (moved) {
            EXPECT_EQ(match.added, (std::vector<std::uint64_t>{0x1200})) << each.what;
        }
    }
}

} // namespace
