// Each kind of evidence on functions made by hand: what it votes for, and where it must stay
// silent; then the matcher's rules over the votes (two kinds, none against, undoing).

#include "hand_built.hpp"
#include "scan/match/match.hpp"
#include "scan/match/pairing.hpp"
#include "scan/match/voters/voters.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <set>
#include <string>
#include <tuple>

using testing_support::hand::built;
using testing_support::hand::code;
using testing_support::hand::Made;

namespace {

// The votes of one voter as (old index, new index), with the pairs given made first.
std::set<std::pair<std::uint32_t, std::uint32_t>>
votesOf(std::unique_ptr<scan::Voter> (*make)(), const scan::BuildFunctions& older,
        const scan::BuildFunctions& newer,
        const std::vector<std::pair<std::uint32_t, std::uint32_t>>& paired = {}) {
    scan::Pairing pairing(older, newer, scan::matchPolicy);
    for (const auto& [from, to] : paired) {
        pairing.pair(from, to);
    }
    scan::Votes votes;
    make()->vote(pairing, votes);
    std::set<std::pair<std::uint32_t, std::uint32_t>> cast;
    for (const scan::Vote& vote : votes) {
        cast.emplace(vote.from, vote.to);
    }
    return cast;
}

using Cast = std::set<std::pair<std::uint32_t, std::uint32_t>>;

// Code with a few instructions changed, as a recompile leaves it.
std::vector<std::uint32_t> edited(std::vector<std::uint32_t> shapes, std::uint32_t changed) {
    for (std::uint32_t k = 0; k < changed; ++k) {
        shapes[k * 3 % shapes.size()] += 5000;
    }
    return shapes;
}

// The votes cast for the functions given between two pairs, P and Q, in each build (indices
// counted from 0 among those).
Cast votesBetweenPairs(std::unique_ptr<scan::Voter> (*make)(), std::vector<Made> older,
                       std::vector<Made> newer) {
    const auto around = [](std::vector<Made> inside) {
        inside.insert(inside.begin(), Made{"P", code(100, 8)});
        inside.push_back(Made{"Q", code(200, 8)});
        return built(inside);
    };
    const auto q = static_cast<std::uint32_t>(older.size() + 1);
    const auto q2 = static_cast<std::uint32_t>(newer.size() + 1);
    Cast cast;
    for (const auto& [from, to] : votesOf(make, around(older), around(newer), {{0, 0}, {q, q2}})) {
        cast.emplace(from - 1, to - 1);
    }
    return cast;
}

// A getter (three instructions shaped as any other getter's) with the bytes given, its field
// offset.
Made getter(const char* name, std::uint64_t bytes) {
    return Made{name, code(300, 3), {}, {}, {}, bytes};
}

// The code given with a check of its argument through a helper added before it and more after
// it, as a new library version grew its setters: four times as long.
std::vector<std::uint32_t> grownRound(const std::vector<std::uint32_t>& body) {
    std::vector<std::uint32_t> grown = code(800, 9);
    grown.insert(grown.end(), body.begin(), body.end());
    for (const std::uint32_t each : code(900, 2 * static_cast<std::uint32_t>(body.size()))) {
        grown.push_back(each);
    }
    return grown;
}

TEST(Voters, SimilarCodeAndOrderInAGapVoteOnlyWhereTheCodeTellsOne) {
    const Made a{"A", code(300, 20)};
    const Made b{"B", code(400, 20)};
    const Made a10{"A", code(300, 10)};
    const Made b10{"B", code(400, 10)};
    struct Case {
        const char* what;
        std::unique_ptr<scan::Voter> (*voter)();
        std::vector<Made> older;
        std::vector<Made> newer;
        Cast expected;
    };
    const Case cases[] = {
        {"similar: both recompiled, a tenth of their code changed",
         scan::similarVoter,
         {a, b},
         {{"A", edited(a.shapes, 2)}, {"B", edited(b.shapes, 2)}},
         {{0, 0}, {1, 1}}},
        {"similar: a second candidate as alike as the first, neither clearly ahead",
         scan::similarVoter,
         {a, b},
         {{"A", edited(a.shapes, 2)}, {"A2", edited(a.shapes, 3)}},
         {}},
        {"similar: too little code to be like anything in particular",
         scan::similarVoter,
         {{"S", code(300, 4)}},
         {{"S", code(300, 4)}},
         {}},
        {"order: A kept most of its code, B became another function",
         scan::orderVoter,
         {a10, b10},
         {{"A", edited(a10.shapes, 3)}, {"B", code(900, 10)}},
         {{0, 0}}},
        {"order: half of A changed, as much as a new compiler changes; B kept a third",
         scan::orderVoter,
         {a10, b10},
         {{"A", edited(a10.shapes, 5)}, {"B", edited(b10.shapes, 7)}},
         {{0, 0}}},
        {"order: one added on the new side, the others in order round it",
         scan::orderVoter,
         {a10, b10},
         {{"A", edited(a10.shapes, 3)}, {"N", code(700, 10)}, {"B", edited(b10.shapes, 1)}},
         {{0, 0}, {1, 2}}},
        {"order: one added, and the others changed as much as an equal gap allows",
         scan::orderVoter,
         {a10, b10},
         {{"A", edited(a10.shapes, 4)}, {"N", code(700, 10)}, {"B", edited(b10.shapes, 4)}},
         {}},
        {"order: one added alike the old one as well, either could be it",
         scan::orderVoter,
         {a10},
         {{"A", edited(a10.shapes, 1)}, {"A2", edited(a10.shapes, 2)}},
         {}},
        {"order: one removed, and a getter beside it takes no part",
         scan::orderVoter,
         {{"R", code(700, 10)}, getter("G", 1), a10},
         {getter("G", 2), {"A", edited(a10.shapes, 2)}},
         {{2, 1}}},
        {"order: a getter whose field offset moved, and one unchanged",
         scan::orderVoter,
         {getter("G", 1), getter("H", 5)},
         {getter("G", 2), getter("H", 5)},
         {{0, 0}, {1, 1}}},
        {"order: a getter added before it holds the old one's very bytes",
         scan::orderVoter,
         {getter("G", 1), {"R", code(600, 8)}},
         {getter("E", 2), getter("G", 1)},
         {}},
        {"order: one removed before it, the next one's bytes are now at its place",
         scan::orderVoter,
         {getter("G", 1), getter("H", 2)},
         {getter("H", 2), {"K", code(310, 3)}},
         {}},
        {"order: getters shaped alike, but not the same",
         scan::orderVoter,
         {getter("G", 1)},
         {{"G", code(310, 3)}},
         {}},
        {"order: a setter grown round its old body, and one grown round most of it",
         scan::orderVoter,
         {{"S", code(300, 5)}, {"T", code(400, 8)}},
         {{"S", grownRound(code(300, 5))}, {"T", grownRound(edited(code(400, 8), 1))}},
         {{0, 0}}},
        {"order: grown round old code too short to tell by",
         scan::orderVoter,
         {{"S", code(300, 4)}},
         {{"S", grownRound(code(300, 4))}},
         {}},
        {"order: grown round it, and another new function of the gap holds it whole too",
         scan::orderVoter,
         {{"S", code(300, 5)}, {"T", code(400, 8)}},
         {{"S", grownRound(code(300, 5))}, {"U", grownRound(code(300, 5))}},
         {}},
        {"order: grown round it, and round another old function of the gap too",
         scan::orderVoter,
         {{"S", code(300, 5)}, {"Q", {800, 801, 802, 300, 301}}},
         {{"S", grownRound(code(300, 5))}, {"T", code(950, 10)}},
         {}},
        {"order: the new code holds only a part of the old",
         scan::orderVoter,
         {{"S", grownRound(code(300, 5))}},
         {{"S", code(300, 5)}},
         {}},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(votesBetweenPairs(each.voter, each.older, each.newer), each.expected)
            << each.what;
    }
    // Sixteen moved getters in order pair by their places; seventeen are more than a place tells.
    for (const std::uint32_t count : {16u, 17u}) {
        std::vector<Made> older;
        std::vector<Made> newer;
        Cast expected;
        for (std::uint32_t n = 0; n < count; ++n) {
            older.push_back(getter("G", 100 + n));
            newer.push_back(getter("G", 200 + n));
            if (count == 16) {
                expected.emplace(n, n);
            }
        }
        EXPECT_EQ(votesBetweenPairs(scan::orderVoter, older, newer), expected) << count;
    }
    // Fifteen in order round one added pair by their code; sixteen round it are more than the
    // order of a small gap tells.
    for (const std::uint32_t count : {15u, 16u}) {
        std::vector<Made> older;
        std::vector<Made> newer{{"N", code(9000, 10)}};
        Cast expected;
        for (std::uint32_t n = 0; n < count; ++n) {
            older.push_back({"F", code(1000 + 100 * n, 10)});
            newer.push_back({"F", edited(code(1000 + 100 * n, 10), 1)});
            if (count == 15) {
                expected.emplace(n, n + 1);
            }
        }
        EXPECT_EQ(votesBetweenPairs(scan::orderVoter, older, newer), expected) << count;
    }
    // Grown round their old code, sixteen pair in order; seventeen are more than a place tells.
    for (const std::uint32_t count : {16u, 17u}) {
        std::vector<Made> older;
        std::vector<Made> newer;
        Cast expected;
        for (std::uint32_t n = 0; n < count; ++n) {
            older.push_back({"S", code(1000 + 10 * n, 5)});
            newer.push_back({"S", grownRound(code(1000 + 10 * n, 5))});
            if (count == 16) {
                expected.emplace(n, n);
            }
        }
        EXPECT_EQ(votesBetweenPairs(scan::orderVoter, older, newer), expected) << count;
    }
    // With no pairs round them there is no gap, and no vote.
    EXPECT_TRUE(votesOf(scan::similarVoter, built({a, b}), built({a, b})).empty());
}

TEST(Voters, AGapsVotesAreCastAnewOnceAFunctionLeavesIt) {
    // Between P and Q the old build holds A, the new X and A2, both like A: nothing is clear, and
    // the sides differ in number. Once X pairs with R elsewhere, A and A2 are alone in the gap.
    // The same voter, asked again, votes from the gap as it now stands, not as it stood.
    const std::vector<std::uint32_t> a = code(300, 20);
    const scan::BuildFunctions older =
        built({{"P", code(100, 8)}, {"A", a}, {"Q", code(200, 8)}, {"R", code(500, 8)}});
    const scan::BuildFunctions newer = built({{"P", code(100, 8)},
                                              {"X", edited(a, 3)},
                                              {"A2", edited(a, 2)},
                                              {"Q", code(200, 8)},
                                              {"R", code(500, 8)}});
    for (const auto make : {scan::similarVoter, scan::orderVoter}) {
        const std::unique_ptr<scan::Voter> voter = make();
        scan::Pairing pairing(older, newer, scan::matchPolicy);
        pairing.pair(0, 0);
        pairing.pair(2, 3);
        pairing.pair(3, 4);
        const auto cast = [&] {
            scan::Votes votes;
            voter->vote(pairing, votes);
            Cast each;
            for (const scan::Vote& vote : votes) {
                each.emplace(vote.from, vote.to);
            }
            return each;
        };
        EXPECT_TRUE(cast().empty());
        EXPECT_TRUE(cast().empty()); // the gap as it was
        pairing.undo(3);
        pairing.pair(3, 1);
        EXPECT_EQ(cast(), (Cast{{1, 2}}));
    }
}

// A gap's alignment by identity is kept while the gap keeps its functions, and found anew once one
// of them pairs elsewhere; a gap of more candidate pairs than one table holds is not listed.
TEST(Pairing, AGapsAlignmentFollowsItsFunctionsAndOnlyGapsATableHoldsAreListed) {
    const scan::BuildFunctions older = built({{"P", code(100, 8)},
                                              {"A", code(300, 8)},
                                              {"B", code(400, 8)},
                                              {"Q", code(200, 8)},
                                              {"R", code(500, 8)}});
    const scan::BuildFunctions newer = built({{"P", code(100, 8)},
                                              {"A", code(300, 8)},
                                              {"X", code(600, 8)},
                                              {"B", code(400, 8)},
                                              {"Q", code(200, 8)},
                                              {"R", code(500, 8)}});
    const auto aligned = [](const scan::Pairing& pairing) {
        std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
        for (const scan::Gap& gap : pairing.gaps()) {
            for (const scan::AlignedPair& same : gap.same) {
                pairs.emplace_back(gap.a[same.i], gap.b[same.j]);
            }
        }
        return pairs;
    };
    using Pairs = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
    scan::Pairing pairing(older, newer, scan::matchPolicy);
    pairing.pair(0, 0);
    pairing.pair(3, 4);
    EXPECT_EQ(aligned(pairing), (Pairs{{1, 1}, {2, 3}}));
    EXPECT_EQ(aligned(pairing), (Pairs{{1, 1}, {2, 3}})); // kept as it was
    pairing.pair(4, 2); // X pairs with R: the gap is A, B on both sides
    ASSERT_EQ(pairing.gaps().size(), 1u);
    EXPECT_EQ(pairing.gaps()[0].b, (std::vector<std::uint32_t>{1, 3}));
    EXPECT_EQ(aligned(pairing), (Pairs{{1, 1}, {2, 3}}));
    EXPECT_EQ(pairing.gaps()[0].same.back().j, 1u); // B is the gap's second, no longer its third

    scan::MatchPolicy small = scan::matchPolicy;
    small.mostCells = 5; // two old functions against three new ones is six
    scan::Pairing bounded(older, newer, small);
    bounded.pair(0, 0);
    bounded.pair(3, 4);
    EXPECT_TRUE(bounded.gaps().empty());
    bounded.pair(4, 2);
    EXPECT_EQ(bounded.gaps().size(), 1u);
}

// Where a function lies: as many on each side between two pairs, in order; with one more on the
// new side, the walks from the pair before and from the pair after put every function in two
// places, and a kind that contradicts itself casts nothing there (it would stand against what
// other kinds agree on). Only where both walks agree does it vote.
TEST(Voters, NeighboursVoteOnlyWhereTheWalksFromBothPairsAgree) {
    const Made a{"A", edited(code(300, 10), 3)};
    const Made b{"B", edited(code(400, 10), 3)};
    const Made c{"C", edited(code(500, 10), 3)};
    const auto recompiled = [](const Made& made) {
        return Made{made.name + "'", edited(made.shapes, 4)};
    };
    const Made x{"X", code(700, 10)};
    EXPECT_EQ(votesBetweenPairs(scan::neighboursVoter, {a, b, c},
                                {recompiled(a), recompiled(b), recompiled(c)}),
              (Cast{{0, 0}, {1, 1}, {2, 2}}));
    EXPECT_EQ(votesBetweenPairs(scan::neighboursVoter, {a, b, c},
                                {recompiled(a), x, recompiled(b), recompiled(c)}),
              Cast{});
}

TEST(Voters, TwoFunctionsOtherKindsPairSideBySideInBothBuildsAreNeighbours) {
    // Other kinds vote F5 for F7', F6 for F8' (after a vote for F9'), and F2 for F2' alone: the
    // two that lie side by side in both builds are each other's neighbours, the old build's
    // last function too.
    std::vector<Made> olds;
    std::vector<Made> news;
    for (std::uint32_t k = 0; k < 10; ++k) {
        (k < 7 ? olds : news).push_back({"F" + std::to_string(k), code(100 * (k + 1), 6)});
        if (k < 7) {
            news.push_back({"F" + std::to_string(k) + "'", code(100 * (k + 1) + 50, 6)});
        }
    }
    const scan::BuildFunctions older = built(olds);
    const scan::BuildFunctions newer = built(news);
    const scan::Pairing pairing(older, newer, scan::matchPolicy);
    // The other kinds' votes, and the neighbours' votes they bring.
    const std::vector<std::pair<scan::Votes, Cast>> cases = {
        {{{5, 7, scan::Evidence::code},
          {6, 9, scan::Evidence::calls},
          {6, 8, scan::Evidence::data},
          {2, 2, scan::Evidence::code}},
         {{5, 7}, {6, 8}}},
        // Two runs side by side that cross: F1 next to both F3' and F4', and F3' and F4' each
        // next to two old functions. None is cast, from either side.
        {{{0, 3, scan::Evidence::code},
          {1, 4, scan::Evidence::code},
          {1, 3, scan::Evidence::calls},
          {2, 4, scan::Evidence::calls}},
         {}},
    };
    for (const auto& [others, expected] : cases) {
        scan::Votes votes = others;
        scan::neighboursVoter()->vote(pairing, votes);
        Cast neighbours;
        for (const scan::Vote& vote : votes) {
            if (vote.kind == scan::Evidence::neighbours) {
                neighbours.emplace(vote.from, vote.to);
            }
        }
        EXPECT_EQ(neighbours, expected);
    }
}

TEST(Voters, ImportsAndConstantsAsSetsFoundOnceAmongTheUnpaired) {
    // F imports 1 and 2, G imports 1 alone, H imports 1 and 2 too: F's set twice, G's once.
    const scan::BuildFunctions older = built({{"F", code(100, 5), {}, {7, 8}, {1, 2}},
                                              {"G", code(200, 5), {}, {7}, {1}},
                                              {"H", code(300, 5), {}, {7, 8}, {1, 2}}});
    const scan::BuildFunctions newer = built({{"H", code(300, 5), {}, {7, 8}, {1, 2}},
                                              {"G", code(250, 5), {}, {7}, {1}},
                                              {"F", code(150, 5), {}, {7, 8}, {1, 2}}});
    EXPECT_EQ(votesOf(scan::importsVoter, older, newer), (Cast{{1, 1}}));
    // Once H is paired, F's set is found once among the unpaired.
    EXPECT_EQ(votesOf(scan::importsVoter, older, newer, {{2, 0}}), (Cast{{0, 2}, {1, 1}}));
    // Constants: F, G, H each share every constant with another, but their sets are their own;
    // K has F's set, until K is paired.
    const scan::BuildFunctions sets = built({{"F", code(100, 5), {}, {7, 8}},
                                             {"G", code(200, 5), {}, {7, 9}},
                                             {"H", code(300, 5), {}, {8, 9}},
                                             {"K", code(400, 5), {}, {7, 8}}});
    EXPECT_EQ(votesOf(scan::constantsVoter, sets, sets), (Cast{{1, 1}, {2, 2}}));
    EXPECT_EQ(votesOf(scan::constantsVoter, sets, sets, {{3, 3}}), (Cast{{0, 0}, {1, 1}, {2, 2}}));
    // A constant only it uses among the unpaired is the data's evidence, not the set's; and a
    // set of one is none.
    EXPECT_TRUE(votesOf(scan::constantsVoter, older, newer, {{2, 0}}).empty());
}

TEST(Voters, CalleesCoveredByOneUnpairedCandidatePairIt) {
    // X and Y paired; F calls both; in the new build F' calls both and Z, G' calls X' alone.
    const Made x{"X", code(100, 5)};
    const Made y{"Y", code(200, 5)};
    const Made z{"Z", code(300, 5)};
    const scan::BuildFunctions older = built(
        {x, y, z, {"F", code(400, 8), {{1, "X"}, {3, "Y"}}}, {"G", code(500, 8), {{1, "X"}}}});
    const scan::BuildFunctions newer = built({x,
                                              y,
                                              z,
                                              {"F", code(450, 9), {{1, "X"}, {3, "Z"}, {5, "Y"}}},
                                              {"G", code(550, 8), {{2, "X"}}}});
    // G calls X alone in both builds, and no other unpaired function of either does only that.
    EXPECT_EQ(votesOf(scan::callSetsVoter, older, newer, {{0, 0}, {1, 1}}), (Cast{{3, 3}, {4, 4}}));
    // With Z paired too, F' calls more than F's partners: still the one that covers them.
    EXPECT_EQ(votesOf(scan::callSetsVoter, older, newer, {{0, 0}, {1, 1}, {2, 2}}),
              (Cast{{3, 3}, {4, 4}}));
    // A wrapper that only jumps on, its one callee paired: the one unpaired function of the new
    // build that jumps there, whatever its own code became; none where another does too.
    const Made wrapper{"W", {600, 77}, {{1, "X"}}};
    const Made recompiled{"W", {650, 77}, {{1, "X"}}};
    EXPECT_EQ(votesOf(scan::callSetsVoter, built({x, wrapper}), built({x, recompiled}), {{0, 0}}),
              (Cast{{1, 1}}));
    const Made another{"V", {700, 77}, {{1, "X"}}};
    EXPECT_TRUE(
        votesOf(scan::callSetsVoter, built({x, wrapper}), built({x, recompiled, another}), {{0, 0}})
            .empty());
    // Two candidates that both cover them: none.
    const scan::BuildFunctions two = built({x,
                                            y,
                                            z,
                                            {"F", code(450, 9), {{1, "X"}, {3, "Y"}}},
                                            {"G", code(550, 8), {{2, "X"}, {4, "Y"}}}});
    EXPECT_TRUE(votesOf(scan::callSetsVoter, older, two, {{0, 0}, {1, 1}}).empty());
    // One candidate that covers two old functions: it tells neither.
    const Made alsoCallsX{"V", code(800, 8), {{1, "X"}}};
    EXPECT_TRUE(votesOf(scan::callSetsVoter, built({x, wrapper, alsoCallsX}),
                        built({x, recompiled}), {{0, 0}})
                    .empty());
}

TEST(Voters, EachKeptFromRoundToRoundVotesAsIfAskedAfresh) {
    // F calls X and Y; in the new build F' and K' both do. As pairs are made and undone, each
    // voter that keeps what it found votes as one made for the pairing as it stands: each vote
    // counted (calls as sets votes twice for F', by its set and as the one covering candidate).
    const Made x{"X", code(100, 5)};
    const Made y{"Y", code(200, 5)};
    const Made z{"Z", code(300, 5)};
    const scan::BuildFunctions older = built({x,
                                              y,
                                              z,
                                              {"F", code(400, 8), {{1, "X"}, {3, "Y"}}},
                                              {"G", code(500, 8), {{1, "X"}}},
                                              {"H", code(600, 8), {{1, "Y"}}}});
    const scan::BuildFunctions newer = built({x,
                                              y,
                                              {"F", code(450, 9), {{1, "X"}, {3, "Y"}}},
                                              {"K", code(750, 9), {{2, "X"}, {4, "Y"}}},
                                              {"G", code(550, 8), {{2, "X"}}},
                                              {"H", code(650, 8), {{2, "Y"}}}});
    using Counted = std::multiset<std::tuple<std::uint32_t, std::uint32_t, scan::Evidence>>;
    const auto counted = [](const scan::Votes& votes) {
        Counted each;
        for (const scan::Vote& vote : votes) {
            each.emplace(vote.from, vote.to, vote.kind);
        }
        return each;
    };
    // Each step's changes in order: a pair made (old, new), or an old function freed (old, none).
    constexpr std::uint32_t freed = scan::unpaired;
    const std::vector<std::pair<std::string, std::vector<std::pair<std::uint32_t, std::uint32_t>>>>
        steps = {
            {"nothing paired", {}},
            {"callees paired: two candidates cover F", {{0, 0}, {1, 1}}},
            {"K' paired elsewhere: F' alone", {{2, 3}}},
            {"X freed", {{0, freed}}},
            {"X paired with G': F's partners change", {{0, 4}}},
            {"X back with X', K' freed", {{0, freed}, {0, 0}, {2, freed}}},
            {"F paired, then freed", {{3, 2}, {3, freed}}},
            {"Y freed", {{1, freed}}},
        };
    std::vector<std::unique_ptr<scan::Voter>> kept;
    for (const scan::VoterRow& row : scan::voterTable) {
        kept.push_back(row.make());
    }
    scan::Pairing pairing(older, newer, scan::matchPolicy);
    bool seenCovering = false;
    for (const auto& [what, changes] : steps) {
        for (const auto& [from, to] : changes) {
            to == freed ? pairing.undo(from) : pairing.pair(from, to);
        }
        // What a voter that reads the others' votes is given: theirs, cast afresh.
        scan::Votes others;
        for (const scan::VoterRow& row : scan::voterTable) {
            if (!row.readsVotes) {
                row.make()->vote(pairing, others);
            }
        }
        for (std::size_t k = 0; k < kept.size(); ++k) {
            const scan::VoterRow& row = scan::voterTable[k];
            scan::Votes afresh = row.readsVotes ? others : scan::Votes{};
            scan::Votes again = afresh;
            row.make()->vote(pairing, afresh);
            kept[k]->vote(pairing, again);
            EXPECT_EQ(counted(again), counted(afresh))
                << what << ": " << scan::evidenceText(row.kind);
            seenCovering =
                seenCovering || counted(afresh).count({3, 2, scan::Evidence::callSets}) == 2;
        }
    }
    EXPECT_TRUE(seenCovering);
}

TEST(Voters, AlignedCallsPairTheirTargetsOnlyWhereEveryLongestAlignmentDoes) {
    // C calls X, then Y at the same shape; its new build calls X', then Y'; R calls itself.
    const Made x{"X", code(100, 5)};
    const Made y{"Y", code(200, 5)};
    Made caller{"C", {1, 2, 77, 3, 77, 4}, {{2, "X"}, {4, "Y"}}};
    Made recursive{"R", {5, 77, 6}, {{1, "R"}}};
    const scan::BuildFunctions older = built({x, y, caller, recursive});
    EXPECT_EQ(votesOf(scan::callsVoter, older, older, {{2, 2}, {3, 3}}), (Cast{{0, 0}, {1, 1}}));
    // The new build calls X, then Y, at the same shape where the old called X once: a longest
    // alignment may pair the old call with either, so neither votes.
    Made twice{"C", {1, 2, 77, 77, 3, 4}, {{2, "X"}, {3, "Y"}}};
    Made once{"C", {1, 2, 77, 3, 4}, {{2, "X"}}};
    const Cast cast = votesOf(scan::callsVoter, built({x, y, once, recursive}),
                              built({x, y, twice, recursive}), {{2, 2}, {3, 3}});
    EXPECT_EQ(cast.count({0, 0}) + cast.count({0, 1}), 0u);
    // A recursive call votes for nothing, its own pair included.
    EXPECT_EQ(cast.count({3, 3}), 0u);
}

TEST(Voters, ACallCountsOnlyWhereTheInstructionsOnBothSidesOfItAlignToo) {
    // C calls X between its argument set-up and what uses the result; in the new build a call
    // at the same place between other instructions leads to Y: code rewritten round a call
    // that the alignment pairs only because every call has one shape.
    const Made x{"X", code(100, 5)};
    const Made y{"Y", code(200, 5)};
    const Made caller{"C", {1, 2, 77, 3, 4}, {{2, "X"}}};
    const auto castFor = [&](std::vector<std::uint32_t> shapes, std::size_t call) {
        const Made changed{"C", std::move(shapes), {{call, "Y"}}};
        return votesOf(scan::callsVoter, built({x, y, caller}), built({x, y, changed}), {{2, 2}});
    };
    EXPECT_EQ(castFor({1, 2, 77, 3, 4}, 2), (Cast{{0, 1}}));
    EXPECT_TRUE(castFor({1, 5, 77, 6, 4}, 2).empty());
    EXPECT_TRUE(castFor({1, 5, 77, 3, 4}, 2).empty()); // the set-up changed
    EXPECT_TRUE(castFor({1, 2, 77, 6, 4}, 2).empty()); // what follows changed
    // A tail jump at the end of both functions has nothing after it.
    const Made jumps{"J", {1, 2, 77}, {{2, "X"}}};
    const Made jumpsOn{"J", {1, 2, 77}, {{2, "Y"}}};
    EXPECT_EQ(votesOf(scan::callsVoter, built({x, y, jumps}), built({x, y, jumpsOn}), {{2, 2}}),
              (Cast{{0, 1}}));
    const Made jumpsAfterOther{"J", {1, 5, 77}, {{2, "Y"}}};
    EXPECT_TRUE(
        votesOf(scan::callsVoter, built({x, y, jumps}), built({x, y, jumpsAfterOther}), {{2, 2}})
            .empty());
}

TEST(Voters, CallSitesThatNearlyAllAgreeOutvoteTheFewThatPointElsewhere) {
    // X, Y and W, then callers paired with their new builds, one call each. Old build: `agree`
    // callers call X, `astray` call X (from the old side) or W (from the new side). New build:
    // the first `agree` call X', the others Y' (old side) or X' (new side).
    const auto cast = [](std::uint32_t agree, std::uint32_t astray, bool fromNewSide) {
        std::vector<Made> older{{"X", code(100, 5)}, {"Y", code(200, 5)}, {"W", code(300, 5)}};
        std::vector<Made> newer = older;
        std::vector<std::pair<std::uint32_t, std::uint32_t>> paired;
        for (std::uint32_t n = 0; n < agree + astray; ++n) {
            const std::string name = "C" + std::to_string(n);
            const bool agrees = n < agree;
            older.push_back({name, {1, 2, 77, 3, 4}, {{2, agrees || !fromNewSide ? "X" : "W"}}});
            newer.push_back({name, {1, 2, 77, 3, 4}, {{2, agrees || fromNewSide ? "X" : "Y"}}});
            paired.emplace_back(3 + n, 3 + n);
        }
        return votesOf(scan::callsVoter, built(older), built(newer), paired);
    };
    const auto ratio = static_cast<std::uint32_t>(scan::matchPolicy.callMajority);
    for (const bool fromNewSide : {false, true}) {
        SCOPED_TRACE(fromNewSide ? "from the new side" : "from the old side");
        const std::pair<std::uint32_t, std::uint32_t> astray =
            fromNewSide ? std::pair{2u, 0u} : std::pair{0u, 1u};
        // Outvoted: the few are dropped.
        EXPECT_EQ(cast(ratio, 1, fromNewSide), (Cast{{0, 0}}));
        // Not by enough: both stand, and so against each other.
        EXPECT_EQ(cast(ratio - 1, 1, fromNewSide), (Cast{{0, 0}, astray}));
        EXPECT_EQ(cast(2 * ratio - 1, 2, fromNewSide), (Cast{{0, 0}, astray}));
    }
}

TEST(Voters, ShortCodeInAGapPairsByItsBytesOnlyWhereTheGapIsSmall) {
    // A getter among other functions between two pairs, the same in both builds: by its bytes
    // where at most sixteen lie on each side, never in a larger gap (where another getter may
    // have taken its bytes).
    const auto gapOf = [](std::uint32_t functions) {
        std::vector<Made> inside{{"T", {1, 2}, {}, {}, {}, 0xABCD}};
        for (std::uint32_t k = 1; k < functions; ++k) {
            inside.push_back({"F" + std::to_string(k), code(1000 + 10 * k, 6)});
        }
        return inside;
    };
    for (const auto& [functions, pairsGetter] :
         {std::pair{12u, true}, std::pair{16u, true}, std::pair{17u, false}}) {
        const Cast cast = votesBetweenPairs(scan::codeVoter, gapOf(functions), gapOf(functions));
        EXPECT_EQ(cast.count({0, 0}), pairsGetter ? 1u : 0u) << functions;
        EXPECT_EQ(cast.count({1, 1}), 1u) << functions; // longer code by its shape, always
    }
}

TEST(Voters, CodeFoundOnceAndTheLastOfSharedCodeLeftUnpaired) {
    // S twice in each build, U once; short code (two instructions) never by shape alone.
    const Made s1{"S1", code(100, 6)};
    const Made s2{"S2", code(100, 6)};
    const Made u{"U", code(300, 6)};
    const Made getter{"T", {1, 2}, {}, {}, {}, 0xABCD};
    const scan::BuildFunctions older = built({s1, u, s2, getter});
    const scan::BuildFunctions newer = built({u, s1, s2, getter});
    EXPECT_EQ(votesOf(scan::codeVoter, older, newer), (Cast{{1, 0}}));
    // Once one copy is paired on each side, the other is the one left with that code.
    EXPECT_EQ(votesOf(scan::codeVoter, older, newer, {{0, 1}}), (Cast{{1, 0}, {2, 2}}));
}

// The matcher's rules on votes: a pair needs two kinds, and is undone when a vote for either
// side comes to point elsewhere; the function it freed is listed as unpaired again.
TEST(Match, APairIsUndoneWhenALaterVoteForItsNewFunctionComesFromAnother) {
    // A and C pair at once by code and constants. Then the pair C brings says, by its aligned
    // call, that B is A': a vote for A' from another old function, which undoes A's pair.
    const scan::BuildFunctions older = built(
        {{"A", code(100, 8), {}, {1}}, {"B", code(200, 8)}, {"C", code(300, 8), {{4, "B"}}, {3}}});
    const scan::BuildFunctions newer =
        built({{"A", code(100, 8), {}, {1}}, {"C", code(300, 8), {{4, "A"}}, {3}}});
    const scan::BuildMatch match = scan::matchFunctions(older, newer);
    ASSERT_EQ(match.pairs.size(), 1u);
    EXPECT_EQ(match.pairs[0].oldRva, 0x1200u);
    EXPECT_EQ(match.removed, (std::vector<std::uint64_t>{0x1000, 0x1100}));
    EXPECT_EQ(match.added, (std::vector<std::uint64_t>{0x1000}));
    EXPECT_EQ(match.addedWhy, (std::vector<scan::Unpaired>{scan::Unpaired::conflicting}));
    // Without C's call, nothing speaks against A's pair, and B has no evidence at all.
    const scan::BuildFunctions uncalled =
        built({{"A", code(100, 8), {}, {1}}, {"C", code(300, 8), {}, {3}}});
    const scan::BuildMatch kept = scan::matchFunctions(older, uncalled);
    EXPECT_EQ(kept.newFunctionOf(0x1000), std::optional<std::uint64_t>(0x1000));
    EXPECT_EQ(kept.removedWhy, (std::vector<scan::Unpaired>{scan::Unpaired::noEvidence}));
}

TEST(Match, ShortCodePairsByItsPlaceOrItsBytesNeverByItsShapesAlone) {
    // Getters between two pairs: movzx eax, byte [rcx + off]; ret, each with its own offset.
    // Their shapes are all alike: only their bytes, or a place that holds one alone, tell them.
    const Made p{"P", code(100, 8), {}, {1}};
    const Made q{"Q", code(200, 8), {}, {2}};
    const auto getter = [](const char* name, std::uint64_t offset) {
        return Made{name, {0x51, 0xC3}, {}, {}, {}, 0x9000 + offset};
    };
    const scan::BuildFunctions older = built({p, getter("G", 0x61), q});
    struct Case {
        const char* what;
        std::vector<Made> newer;
        std::optional<std::uint64_t> expected;
    };
    const Case cases[] = {
        {"unchanged: by its bytes and its place", {p, getter("G", 0x61), q}, 0x1100},
        {"the field moved, alone between the pairs: by its place",
         {p, getter("G", 0x63), q},
         0x1100},
        {"the field moved, and a getter added after it holds its old bytes",
         {p, getter("G", 0x63), getter("H", 0x61), q},
         std::nullopt},
        {"the field moved, and a getter added after it",
         {p, getter("G", 0x63), getter("H", 0x65), q},
         std::nullopt},
    };
    for (const Case& each : cases) {
        EXPECT_EQ(scan::matchFunctions(older, built(each.newer)).newFunctionOf(0x1100),
                  each.expected)
            << each.what;
    }
}

} // namespace
