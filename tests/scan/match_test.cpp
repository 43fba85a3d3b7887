// Pairing the functions of two builds: a recompiled function is still found by what it uses and
// who uses it, and where the evidence is equal or disagrees, nothing is paired.

#include "scan/image/build_functions.hpp"
#include "scan/image/function_map.hpp"
#include "scan/image/instructions.hpp"
#include "scan/match/longest_alignment.hpp"
#include "scan/match/match.hpp"
#include "scan/update/update.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <span>

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
Builds matched(const std::vector<Function>& older, const std::vector<Function>& newer,
               const Strings& oldStrings = strings, const Strings& newStrings = strings) {
    Builds builds{imageOf(programOf(older, 0, 0x2100, functionSpacing, oldStrings)),
                  imageOf(programOf(newer, 0x20, 0x2100, functionSpacing, newStrings)),
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

TEST(Match, ARecompiledFunctionIsCarriedByItsStringAndNeighbours) {
    // F compiled anew (push rbx; sub rsp, 0x20; lea rdx, [health]; mov rcx, rdx; call H;
    // add rsp, 0x20; pop rbx; ret), and its callers' code right round each call changed, which
    // makes their calls no evidence: the string and the neighbours carry it.
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
    EXPECT_EQ(scan::evidenceTexts(pair.evidence), (std::vector<std::string>{"data", "neighbours"}));
    EXPECT_TRUE(pairOf(builds, "H")->same);
    EXPECT_TRUE(builds.match.removed.empty() && builds.match.added.empty());

    // The update follows the pair where every byte anchor of F broke, and makes a signature.
    scan::TableEntry parsed{"F", "48 83 EC 28 48 8D 0D ?? ?? ?? ?? E8", {}, 0, {}, false};
    parsed.signature = *scan::parseSignature(parsed.text);
    const scan::EntryUpdate withMatch =
        scan::updateEntry(builds.older, builds.newer, parsed, scan::defaultMargin, builds.match);
    EXPECT_EQ(withMatch.status, scan::EntryUpdate::Status::moved)
        << scan::whyText(withMatch.reason);
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

TEST(Match, TheSlotsOfATableBothPairedFunctionsLoadPairTheirFunctions) {
    // K stores the address of a virtual table holding V1 and V2, which were compiled anew.
    const Function k{"K", hexBytes("48 8D 05 00 00 00 00 48 89 01 C3"), {{3, "vtable"}}};
    const auto withTable = [&](std::vector<Function> functions, std::uint32_t shift) {
        std::vector<Function> all = oldBuild();
        all.insert(all.begin() + 1, k);
        all.insert(all.end(), functions.begin(), functions.end());
        std::string slots;
        for (const char* name : {"V1", "V2"}) {
            const std::uint64_t address = 0x140000000ull + placesOf(all, shift).at(name);
            slots.append(reinterpret_cast<const char*>(&address), 8);
        }
        Strings table = strings;
        table.emplace_back("vtable", slots);
        return std::pair(all, table);
    };
    const auto [older, oldTable] =
        withTable({{"V1", hexBytes("8B C1 03 C2 C3")}, {"V2", hexBytes("8B C1 2B C2 C3")}}, 0);
    const auto [newer, newTable] =
        withTable({{"V1", hexBytes("8D 04 11 90 C3")}, {"V2", hexBytes("8B C1 29 D0 C3")}}, 0x20);
    const Builds builds = matched(older, newer, oldTable, newTable);
    for (const char* name : {"V1", "V2"}) {
        const std::optional<scan::FunctionPair> pair = pairOf(builds, name);
        ASSERT_TRUE(pair) << name;
        EXPECT_EQ(pair->newRva, builds.newPlaces.at(name));
        EXPECT_EQ(scan::evidenceTexts(pair->evidence),
                  (std::vector<std::string>{"calls", "neighbours"}));
    }
}

TEST(LongestAlignment, APairIsFixedOnlyWhereEveryLongestAlignmentMakesIt) {
    // Each pair as "i-j", with "!" where no longest alignment pairs i otherwise.
    const auto aligned = [](const std::string& a, const std::string& b) {
        std::string text;
        for (const scan::AlignedPair& pair : scan::longestAlignment(
                 a.size(), b.size(), [&](std::size_t i) { return a[i]; },
                 [&](std::size_t j) { return b[j]; })) {
            text += (text.empty() ? "" : " ") + std::to_string(pair.i) + "-" +
                    std::to_string(pair.j) + (pair.fixed ? "!" : "");
        }
        return text;
    };
    EXPECT_EQ(aligned("abc", "abc"), "0-0! 1-1! 2-2!");
    EXPECT_EQ(aligned("abXcd", "abYcd"), "0-0! 1-1! 3-3! 4-4!");
    EXPECT_EQ(aligned("xaab", "xab"), "0-0! 1-1 3-2!"); // which a is the one is not known
    EXPECT_EQ(aligned("ab", "ba"), "1-0");              // a or b, never both
    EXPECT_EQ(aligned("aa", "aaa"), "0-0 1-1");         // each a may be any of three
    EXPECT_EQ(aligned("", "ab"), "");
}

// The tables kept 64 cells a word give what the tables of every cell give: the same alignment,
// the same fixed pairs, the same length, on sequences across the words' edges and with runs of
// one element (few elements to choose from).
TEST(LongestAlignment, TheBitTablesAgreeWithTheTableOfEveryCell) {
    // The longest common subsequences of the suffixes, cell by cell, and the alignment they give.
    const auto reference = [](const std::vector<int>& a, const std::vector<int>& b) {
        const std::size_t n = a.size();
        const std::size_t m = b.size();
        std::vector<std::vector<std::uint32_t>> after(n + 1, std::vector<std::uint32_t>(m + 1));
        std::vector<std::vector<std::uint32_t>> before(n + 1, std::vector<std::uint32_t>(m + 1));
        for (std::size_t i = n; i-- > 0;) {
            for (std::size_t j = m; j-- > 0;) {
                after[i][j] = a[i] == b[j] ? after[i + 1][j + 1] + 1
                                           : std::max(after[i + 1][j], after[i][j + 1]);
            }
        }
        for (std::size_t i = 1; i <= n; ++i) {
            for (std::size_t j = 1; j <= m; ++j) {
                before[i][j] = a[i - 1] == b[j - 1] ? before[i - 1][j - 1] + 1
                                                    : std::max(before[i - 1][j], before[i][j - 1]);
            }
        }
        const std::uint32_t longest = after[0][0];
        std::string text = std::to_string(longest) + ":";
        for (std::size_t i = 0, j = 0; i < n && j < m;) {
            if (a[i] == b[j] && after[i][j] == after[i + 1][j + 1] + 1) {
                bool fixed = true;
                for (std::size_t q = 0; q <= m && fixed; ++q) {
                    fixed = before[i][q] + after[i + 1][q] != longest &&
                            (q == m || q == j || a[i] != b[q] ||
                             before[i][q] + 1 + after[i + 1][q + 1] != longest);
                }
                text += " " + std::to_string(i) + "-" + std::to_string(j) + (fixed ? "!" : "");
                ++i;
                ++j;
            } else if (after[i + 1][j] >= after[i][j + 1]) {
                ++i;
            } else {
                ++j;
            }
        }
        return text;
    };
    std::uint64_t seed = 12345;
    const auto next = [&](std::uint64_t below) {
        seed = seed * 6364136223846793005 + 1442695040888963407;
        return (seed >> 33) % below;
    };
    for (int trial = 0; trial < 300; ++trial) {
        const std::size_t n = next(300);
        const std::size_t m = next(300);
        const int letters = 1 + static_cast<int>(next(trial % 3 == 0   ? 3
                                                      : trial % 3 == 1 ? 40
                                                                       : 400));
        std::vector<int> a(n);
        std::vector<int> b(m);
        for (int& each : a) {
            each = static_cast<int>(next(static_cast<std::uint64_t>(letters)));
        }
        for (int& each : b) {
            each = static_cast<int>(next(static_cast<std::uint64_t>(letters)));
        }
        const auto x = [&](std::size_t i) { return a[i]; };
        const auto y = [&](std::size_t j) { return b[j]; };
        std::string text = std::to_string(scan::longestCommonLength(n, m, x, y)) + ":";
        for (const scan::AlignedPair& pair : scan::longestAlignment(n, m, x, y)) {
            text += " " + std::to_string(pair.i) + "-" + std::to_string(pair.j) +
                    (pair.fixed ? "!" : "");
        }
        ASSERT_EQ(text, reference(a, b)) << "trial " << trial << ", " << n << " by " << m;
    }
}

TEST(BuildFunctions, EveryFunctionOnceWithItsCalleesConstantsAndTables) {
    using namespace testing_support::pe;
    // F (0x1000, its end moved out of line to 0x1100, a part chained to it) uses a string and
    // calls L, a leaf function; P, another leaf, nothing calls; T loads a table holding the
    // addresses of L and P, and a global that changes as the program runs.
    std::string code(0x200, '\xCC');
    code.replace(0x000, 17, hexBytes("48 83 EC 28 48 8D 0D 00 00 00 00 E8 00 00 00 00 E9"));
    put32(code, 0x007, 0x4000 - 0x100B);
    put32(code, 0x00C, 0x1040 - 0x1010);
    put32(code, 0x011, 0x1100 - 0x1015);
    code.replace(0x040, 3, hexBytes("8B C1 C3"));
    code.replace(0x080, 4, hexBytes("8D 04 09 C3"));
    code.replace(0x0C0, 14, hexBytes("48 8D 05 00 00 00 00 48 8B 0D 00 00 00 00"));
    put32(code, 0x0C3, 0x4020 - 0x10C7);
    put32(code, 0x0CA, 0x2000 - 0x10CE);
    code.replace(0x0CE, 1, "\xC3");
    code.replace(0x100, 5, hexBytes("48 83 C4 28 C3"));
    const std::string pdata =
        withChainedUnwind(runtimeFunctions({{0x1000, 0x1015}, {0x10C0, 0x10CF}, {0x1100, 0x1105}},
                                           {0x3100, 0x3100, 0x3110}),
                          0x1000, 0x1015);
    PeLayout layout = layoutOf(code, {0x3000, 36}, pdata);
    std::string rdata = "player health"s + std::string(0x13, '\0');
    for (const std::uint64_t rva : {0x1040u, 0x1080u}) {
        const std::uint64_t address = layout.imageBase + rva;
        rdata.append(reinterpret_cast<const char*>(&address), 8);
    }
    layout.sections.push_back({".rdata", 0x4000, 0x1000, rdata, 0x40000040});
    layout.imageSize = 0x5000;
    const scan::BuildFunctions read = scan::readBuildFunctions(imageOf(layout));

    std::vector<std::uint32_t> begins;
    for (const scan::BuildFunction& function : read.functions) {
        begins.push_back(function.begin);
    }
    EXPECT_EQ(begins, (std::vector<std::uint32_t>{0x1000, 0x1040, 0x1080, 0x10C0}));
    EXPECT_EQ(read.functions[0].steps, 6u); // its part's two instructions with its own
    const std::uint32_t first = read.functions[0].firstStep;
    // The call leads to L (index 1); the jump to its own part leads to no other function.
    const std::span<const scan::Link> links = read.linksOf(read.functions[0]);
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(links[0].step, first + 2);
    EXPECT_EQ(links[0].function, 1u);
    // Each instruction's RVA, its part's among them, follows from the lengths kept.
    EXPECT_EQ(read.rvasOf(read.functions[0]),
              (std::vector<std::uint32_t>{0x1000, 0x1004, 0x100B, 0x1010, 0x1100, 0x1104}));
    EXPECT_EQ(read.rvaOf(first + 4), 0x1100u);
    // A place in the part is held by F; one inside an instruction only by that instruction.
    const std::optional<scan::Held> inPart = read.stepAt(0x1104);
    ASSERT_TRUE(inPart);
    EXPECT_EQ(inPart->function, 0u);
    EXPECT_EQ(inPart->step, first + 5);
    EXPECT_FALSE(read.stepAt(0x1006));
    ASSERT_TRUE(read.stepHolding(0x1006));
    EXPECT_EQ(read.stepHolding(0x1006)->step, first + 1);
    EXPECT_FALSE(read.stepHolding(0x1105)); // the padding after the part
    ASSERT_EQ(read.data.size(), 1u);        // the string; the global in .data is no constant
    EXPECT_EQ(read.data[0].function, 0u);
    ASSERT_EQ(read.tables.count(0x4020), 1u);
    EXPECT_EQ(read.tables.at(0x4020), (std::vector<std::uint32_t>{2, 3}));
}

// Code laid out from 0x1000 in a .text of textSize bytes, the exception directory after it
// listing the entries.
scan::ExecutableImage
imageWithEntries(const std::string& code, std::uint32_t textSize,
                 const std::vector<std::pair<std::uint32_t, std::uint32_t>>& entries) {
    using namespace testing_support::pe;
    const std::string pdata = runtimeFunctions(entries);
    const std::uint32_t pdataRva = 0x1000 + textSize;
    PeLayout layout{{{".text", 0x1000, textSize, code}, {".pdata", pdataRva, 0x1000, pdata}},
                    pdataRva + 0x1000};
    layout.exceptions = {pdataRva, static_cast<std::uint32_t>(pdata.size())};
    return imageOf(layout);
}

TEST(BuildFunctions, ALeafLaidOutRightAfterAReturnBeginsWhereACallAnAddressATableOrAnExportLeads) {
    using namespace testing_support::pe;
    // Leaf functions with no padding between: A (0x1040), B, C, D, E and G, each two
    // instructions. F calls A, B and into A's first instruction, takes C's address and loads a
    // table holding E's; D is exported; nothing leads to G.
    std::string code(0x100, '\xCC');
    code.replace(0x00, 0x26,
                 hexBytes("48 83 EC 28 E8 37 00 00 00 E8 35 00 00 00 E8 2E 00 00 00 "
                          "48 8D 05 2D 00 00 00 48 8D 0D 00 00 00 00 48 83 C4 28 C3"));
    put32(code, 0x1D, 0x4000 - 0x1021);
    code.replace(0x40, 0x13, hexBytes("8B C1 C3 8D 04 09 C3 31 C0 C3 8B C2 C3 8B C3 C3 8B C6 C3"));
    PeLayout layout = layoutOf(code, {0x3000, 12}, runtimeFunctions({{0x1000, 0x1026}}));
    std::string rdata(0x10, '\0');
    const std::uint64_t address = layout.imageBase + 0x104D;
    rdata.replace(0, 8, reinterpret_cast<const char*>(&address), 8);
    layout.sections.push_back({".rdata", 0x4000, 0x1000, rdata, 0x40000040});
    layout.imageSize = 0x5000;
    scan::ExecutableImage image = imageOf(layout);
    image.exports.push_back({0x104A, "D"});

    const scan::BuildFunctions read = scan::readBuildFunctions(image);
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>> extents;
    for (const scan::BuildFunction& function : read.functions) {
        extents.emplace_back(function.begin, function.end, function.steps);
    }
    // The call into A's first instruction begins nothing; G is part of E.
    EXPECT_EQ(extents, (std::vector<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>>{
                           {0x1000, 0x1026, 8},
                           {0x1040, 0x1043, 2},
                           {0x1043, 0x1047, 2},
                           {0x1047, 0x104A, 2},
                           {0x104A, 0x104D, 2},
                           {0x104D, 0x1053, 4}}));
}

TEST(BuildFunctions, LeavesLaidOutBackToBackAreEachWalkedOnce) {
    using namespace testing_support::pe;
    // F calls each of 2 000 leaves of two instructions laid out one after the other, no padding
    // between: each is a function, and reading them costs a few decodes each, not a walk from
    // each to the end of the run.
    constexpr std::uint32_t count = 2000;
    constexpr std::uint32_t leaves = 0x1000 + 8 * count;
    std::string code = hexBytes("48 83 EC 28");
    for (std::uint32_t n = 0; n < count; ++n) {
        const auto at = static_cast<std::uint32_t>(0x1000 + code.size());
        code += hexBytes("E8 00 00 00 00");
        put32(code, code.size() - 4, leaves + 3 * n - (at + 5));
    }
    code += hexBytes("48 83 C4 28 C3");
    const auto fEnd = static_cast<std::uint32_t>(0x1000 + code.size());
    code.resize(leaves - 0x1000, '\xCC');
    for (std::uint32_t n = 0; n < count; ++n) {
        code += hexBytes("8B C1 C3");
    }
    code.resize(0x10000, '\xCC');
    const scan::ExecutableImage image = imageWithEntries(code, 0x10000, {{0x1000, fEnd}});

    const std::uint64_t before = scan::instructionsDecoded();
    const scan::BuildFunctions read = scan::readBuildFunctions(image);
    const std::uint64_t decoded = scan::instructionsDecoded() - before;
    ASSERT_EQ(read.functions.size(), count + 1);
    EXPECT_EQ(read.functions.back().begin, leaves + 3 * (count - 1));
    EXPECT_EQ(read.functions.back().steps, 2u);
    EXPECT_LT(decoded, 20u * count);
}

TEST(BuildFunctions, ZeroFillIsNoCodeAndCostsNoDecoding) {
    using namespace testing_support::pe;
    // A small file whose code section lays out 1 MiB, nearly all zero fill: F (0x1000) calls into
    // the fill and runs into it (its entry ends at 0x8000); G, a leaf, lies after 64 KiB of fill;
    // another entry lies wholly inside it.
    std::string code = hexBytes("48 83 EC 28 E8 00 00 00 00 48 83 C4 28 C3");
    put32(code, 5, 0x9000 - 0x1009);
    code.resize(0x10000, '\0');
    code += hexBytes("8B C1 C3");
    const scan::ExecutableImage image =
        imageWithEntries(code, 0x100000, {{0x1000, 0x8000}, {0x20000, 0x20100}});

    const std::uint64_t before = scan::instructionsDecoded();
    const scan::BuildFunctions read = scan::readBuildFunctions(image);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> extents;
    std::vector<std::uint32_t> steps;
    for (const scan::BuildFunction& function : read.functions) {
        extents.emplace_back(function.begin, function.end);
        steps.push_back(function.steps);
    }
    EXPECT_EQ(extents, (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0x1000, 0x100E},
                                                                             {0x11000, 0x11003}}));
    EXPECT_EQ(steps, (std::vector<std::uint32_t>{4, 2}));
    // The function map steps over the fill as over padding.
    EXPECT_EQ(scan::nextFunctionStart(image, 0x1000), std::optional<std::uint64_t>(0x11000));
    EXPECT_EQ(scan::functionEndOf(image, 0x11000), 0x11003u);
    EXPECT_EQ(scan::previousFunctionStart(image, 0x11000), std::optional<std::uint64_t>(0x1000));
    // Each of those instructions decoded a few times at most, none of the fill's.
    EXPECT_LT(scan::instructionsDecoded() - before, 40u);
}

// Four functions 0x40 apart from 0x1000, each one instruction whose RIP-relative field (its
// last four bytes) leads to the RVA given, and a ret; read with .rdata at 0x4000.
scan::BuildFunctions readLoads(const std::vector<std::pair<std::string, std::uint32_t>>& loads,
                               const std::string& rdata) {
    using namespace testing_support::pe;
    std::string code(0x100, '\xCC');
    for (std::uint32_t n = 0; n < loads.size(); ++n) {
        const std::string bytes = hexBytes(loads[n].first + " C3");
        code.replace(0x40 * n, bytes.size(), bytes);
        const auto ret = 0x40 * n + static_cast<std::uint32_t>(bytes.size()) - 1;
        put32(code, ret - 4, loads[n].second - (0x1000 + ret));
    }
    PeLayout layout = layoutOf(code);
    layout.sections.push_back({".rdata", 0x4000, 0x1000, rdata, 0x40000040});
    layout.imageSize = 0x5000;
    return scan::readBuildFunctions(imageOf(layout));
}

TEST(BuildFunctions, ABlockOfZerosOrOneThatBeginsWithAnAddressIsNoConstant) {
    // Three functions each load a 16-byte block of .rdata: zeros, an address in the image (of
    // code, then of data), and plain bytes; only the last is a constant.
    const std::string lea = "48 8D 05 00 00 00 00";
    std::string rdata(0x80, '\0');
    for (const auto& [at, rva] : {std::pair{0x20u, 0x1040u}, {0x40u, 0x2000u}}) {
        const std::uint64_t address = testing_support::pe::PeLayout{}.imageBase + rva;
        std::memcpy(rdata.data() + at, &address, 8);
        rdata[at + 8] = '\x11'; // the rest of the block is no zero fill either
    }
    rdata.replace(0x60, 16, "\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A\x0B\x0C\x0D\x0E\x0F\x10");
    const scan::BuildFunctions read =
        readLoads({{lea, 0x4000}, {lea, 0x4020}, {lea, 0x4040}, {lea, 0x4060}}, rdata);
    ASSERT_EQ(read.functions.size(), 4u);
    ASSERT_EQ(read.data.size(), 1u);
    EXPECT_EQ(read.functions[read.data[0].function].begin, 0x10C0u);
}

TEST(BuildFunctions, AConstantIsTheBytesItsInstructionReadsThere) {
    // Two functions read the same 8-byte double with movsd, each followed in .rdata by other
    // bytes; two more take the same places' addresses with lea, which reads nothing there.
    const std::string movsd = "F2 0F 10 05 00 00 00 00";
    const std::string lea = "48 8D 05 00 00 00 00";
    std::string rdata(0x40, '\0');
    rdata.replace(0x00, 16, "\x18\x2D\x44\x54\xFB\x21\x09\x40\x01\x02\x03\x04\x05\x06\x07\x08");
    rdata.replace(0x10, 16, "\x18\x2D\x44\x54\xFB\x21\x09\x40\x11\x12\x13\x14\x15\x16\x17\x18");
    const scan::BuildFunctions read =
        readLoads({{movsd, 0x4000}, {movsd, 0x4010}, {lea, 0x4000}, {lea, 0x4010}}, rdata);
    ASSERT_EQ(read.functions.size(), 4u);
    ASSERT_EQ(read.data.size(), 4u);
    std::uint64_t content[4] = {};
    for (const scan::DataUse& use : read.data) {
        content[(read.functions[use.function].begin - 0x1000) / 0x40] = use.content;
    }
    EXPECT_EQ(content[0], content[1]); // the double alone
    EXPECT_NE(content[2], content[3]); // 16 bytes from the place on
    EXPECT_NE(content[0], content[2]);
}

} // namespace
