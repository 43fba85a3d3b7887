// Pairing the functions of two builds: a recompiled function is still found by what it uses and
// who uses it, and where the evidence is equal or disagrees, nothing is paired.

#include "scan/match/match.hpp"
#include "scan/update/update.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testing_support::game;

namespace {

const Strings strings = {
    {"health", "player health"}, {"c1", "first caller"}, {"c2", "second caller"}};

// A calls H; F uses the string "health" and calls H; G calls H; C1 and C2 call F, each using a
// string of its own; H squares its argument.
Function functionA() {
    return {"A",
            hexBytes("40 53 48 83 EC 20 8B D9 E8 00 00 00 00 8B C3 48 83 C4 20 5B C3"),
            {{9, "H"}}};
}
Function functionF(const std::string& name = "F") {
    // sub rsp, 0x28; lea rcx, [health]; call H; add rsp, 0x28; ret
    return {name,
            hexBytes("48 83 EC 28 48 8D 0D 00 00 00 00 E8 00 00 00 00 48 83 C4 28 C3"),
            {{7, "health"}, {12, "H"}}};
}
Function functionG() {
    return {"G", hexBytes("48 83 EC 28 B9 05 00 00 00 E8 00 00 00 00 48 83 C4 28 C3"), {{10, "H"}}};
}
Function functionH() {
    return {"H", hexBytes("8B C1 0F AF C0 C3")};
}
// sub rsp, 0x38; lea rdx, [its string]; call the callee; add rsp, 0x38; ret
Function callerOne(const std::string& callee = "F") {
    return {"C1",
            hexBytes("48 83 EC 38 48 8D 15 00 00 00 00 E8 00 00 00 00 48 83 C4 38 C3"),
            {{7, "c1"}, {12, callee}}};
}
// push rsi; sub rsp, 0x20; lea rcx, [its string]; call the callee; add rsp, 0x20; pop rsi; ret
Function callerTwo(const std::string& callee = "F") {
    return {"C2",
            hexBytes("56 48 83 EC 20 48 8D 0D 00 00 00 00 E8 00 00 00 00 48 83 C4 20 5E C3"),
            {{8, "c2"}, {13, callee}}};
}

std::vector<Function> oldBuild() {
    return {functionA(), functionF(), functionG(), callerOne(), callerTwo(), functionH()};
}

struct Builds {
    scan::ExecutableImage older;
    scan::ExecutableImage newer;
    std::map<std::string, std::uint32_t> oldPlaces;
    std::map<std::string, std::uint32_t> newPlaces;
    scan::BuildMatch match;
};

// The new build 0x20 bytes further on, so that no pair is found by its address.
Builds matched(const std::vector<Function>& older, const std::vector<Function>& newer) {
    Builds builds{imageOf(programOf(older, 0, 0x2100, functionSpacing, strings)),
                  imageOf(programOf(newer, 0x20, 0x2100, functionSpacing, strings)),
                  placesOf(older),
                  placesOf(newer, 0x20),
                  {}};
    builds.match = scan::matchBuilds(builds.older, builds.newer);
    return builds;
}

std::optional<scan::FunctionPair> pairOf(const Builds& builds, const std::string& name) {
    for (const scan::FunctionPair& pair : builds.match.pairs) {
        if (pair.oldRva == builds.oldPlaces.at(name)) {
            return pair;
        }
    }
    return std::nullopt;
}

bool added(const Builds& builds, const std::string& name) {
    const std::vector<std::uint64_t>& rvas = builds.match.added;
    return std::find(rvas.begin(), rvas.end(), builds.newPlaces.at(name)) != rvas.end();
}

TEST(Match, ARecompiledFunctionIsCarriedByItsStringCallersAndNeighbours) {
    // F compiled anew (push rbx; sub rsp, 0x20; lea rdx, [health]; mov rcx, rdx; call H;
    // add rsp, 0x20; pop rbx; ret), and its callers' code round each call changed.
    Function f{"F",
               hexBytes("53 48 83 EC 20 48 8D 15 00 00 00 00 48 8B CA E8 00 00 00 00 48 83 C4 20 "
                        "5B C3"),
               {{8, "health"}, {16, "H"}}};
    Function c1{"C1",
                hexBytes("48 83 EC 38 48 8D 15 00 00 00 00 33 C9 E8 00 00 00 00 90 48 83 C4 38 C3"),
                {{7, "c1"}, {14, "F"}}};
    Function c2{"C2",
                hexBytes("56 48 83 EC 20 48 8D 0D 00 00 00 00 8B F1 E8 00 00 00 00 90 48 83 C4 20 "
                         "5E C3"),
                {{8, "c2"}, {15, "F"}}};
    const Builds builds = matched(oldBuild(), {functionA(), f, functionG(), c1, c2, functionH()});

    for (const char* name : {"A", "F", "G", "C1", "C2", "H"}) {
        const std::optional<scan::FunctionPair> pair = pairOf(builds, name);
        ASSERT_TRUE(pair) << name;
        EXPECT_EQ(pair->newRva, builds.newPlaces.at(name)) << name;
    }
    const scan::FunctionPair pair = *pairOf(builds, "F");
    EXPECT_FALSE(pair.same);
    EXPECT_EQ(scan::evidenceTexts(pair.evidence),
              (std::vector<std::string>{"data", "calls", "neighbours"}));
    EXPECT_TRUE(pairOf(builds, "H")->same);
    EXPECT_TRUE(builds.match.removed.empty() && builds.match.added.empty());

    // The update follows the pair where every byte anchor of F broke, and makes a signature.
    scan::TableEntry parsed{"F", "48 83 EC 28 48 8D 0D ?? ?? ?? ?? E8", {}, 0, {}, false};
    parsed.signature = *scan::parseSignature(parsed.text);
    const scan::EntryUpdate withMatch =
        scan::updateEntry(builds.older, builds.newer, parsed, scan::defaultMargin, &builds.match);
    EXPECT_EQ(withMatch.status, scan::EntryUpdate::Status::moved) << withMatch.why;
    EXPECT_EQ(withMatch.newRva, builds.newPlaces.at("F"));
    EXPECT_LT(withMatch.reading.found, 2u);
    EXPECT_EQ(scan::updateEntry(builds.older, builds.newer, parsed).status,
              scan::EntryUpdate::Status::lost);
}

TEST(Match, EqualOrConflictingEvidenceLeavesBothSidesUnpaired) {
    // Equal: two copies of F in the new build, one called by C1, the other by C2; each has calls
    // and neighbours for it, and the string is no longer used once.
    {
        Function copy = functionF("F2");
        const Builds builds = matched(oldBuild(), {functionA(), functionF(), copy, functionG(),
                                                   callerOne("F"), callerTwo("F2"), functionH()});
        EXPECT_FALSE(pairOf(builds, "F"));
        EXPECT_TRUE(added(builds, "F") && added(builds, "F2"));
        EXPECT_TRUE(pairOf(builds, "G") && pairOf(builds, "C1") && pairOf(builds, "H"));
    }
    // Conflicting: the function that uses the string, where F stood (data and neighbours), is
    // not the one the callers now call, which has F's code (code and calls).
    {
        Function user{"U",
                      hexBytes("53 48 83 EC 20 48 8D 15 00 00 00 00 48 8B CA E8 00 00 00 00 48 83 "
                               "C4 20 5B C3"),
                      {{8, "health"}, {16, "H"}}};
        Function called = functionF("K");
        called.links = {{12, "H"}};
        const Builds builds = matched(oldBuild(), {functionA(), user, functionG(), callerOne("K"),
                                                   callerTwo("K"), functionH(), called});
        EXPECT_FALSE(pairOf(builds, "F"));
        EXPECT_TRUE(added(builds, "U") && added(builds, "K"));
    }
}

TEST(Match, ALookAlikeElsewhereWithNothingElseForItPairsWithNothing) {
    // L's code is found once in each build, but in the new build it lies after a function the
    // old build has not, and nothing calls it or uses what it uses.
    Function l{"L", hexBytes("48 8B 41 08 48 8B 40 10 48 85 C0 0F 95 C0 C3")};
    std::string longCode;
    for (int n = 0; n < 12; ++n) {
        longCode += "48 FF C0 "; // inc rax
    }
    const Function big{"B", hexBytes(longCode + "C3")};
    std::vector<Function> older = oldBuild();
    older.insert(older.begin() + 3, l);
    std::vector<Function> newer = oldBuild();
    newer.push_back(big);
    newer.push_back(l);
    const Builds builds = matched(older, newer);
    EXPECT_FALSE(pairOf(builds, "L"));
    EXPECT_TRUE(added(builds, "L"));
    EXPECT_TRUE(pairOf(builds, "G") && pairOf(builds, "C1"));
}

} // namespace
