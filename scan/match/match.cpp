#include "scan/match/match.hpp"

#include "scan/image/instructions.hpp"
#include "scan/match/longest_alignment.hpp"

#include <algorithm>
#include <bit>
#include <exception>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>

namespace scan {

namespace {

constexpr std::uint32_t none = UINT32_MAX;

// One piece of evidence that the old function `from` is the new function `to`.
struct Vote {
    std::uint32_t from;
    std::uint32_t to;
    EvidenceSet kind;
};

// Keys (shapes, constants) each build holds once, as votes: the one old holder is the one new.
template <typename KeyOf>
void voteByUniqueKeys(std::size_t oldCount, std::size_t newCount, KeyOf keyOf, Evidence kind,
                      std::vector<Vote>& votes) {
    struct Holders {
        std::uint32_t count[2] = {0, 0};
        std::uint32_t holder[2] = {none, none};
    };
    std::unordered_map<std::uint64_t, Holders> holders;
    for (int side = 0; side < 2; ++side) {
        const std::size_t count = side == 0 ? oldCount : newCount;
        for (std::size_t n = 0; n < count; ++n) {
            const std::optional<std::pair<std::uint64_t, std::uint32_t>> key = keyOf(side, n);
            if (!key) {
                continue;
            }
            Holders& each = holders[key->first];
            ++each.count[side];
            each.holder[side] = key->second;
        }
    }
    for (const auto& [key, each] : holders) {
        if (each.count[0] == 1 && each.count[1] == 1) {
            votes.push_back({each.holder[0], each.holder[1], static_cast<EvidenceSet>(kind)});
        }
    }
}

// Shorter code (mov eax, imm; ret) has the same shape in too many functions to tell one by it,
// and the same function's short code changes with a field's offset: it counts as evidence only
// by its bytes, and only among a few functions between the same pairs.
constexpr std::uint32_t shortestTold = 3;
constexpr std::size_t closeGap = 8;

// What the same code is compared by: its shape; for short code, its bytes, the offsets and
// constants that tell one getter from another kept.
std::uint64_t identityOf(const BuildFunction& function) {
    return function.steps < shortestTold ? function.bytes : function.shape;
}

class Matcher {
public:
    Matcher(const BuildFunctions& older, const BuildFunctions& newer)
        : old_(older), new_(newer), newOf_(older.functions.size(), none),
          oldOf_(newer.functions.size(), none), kinds_(older.functions.size(), 0),
          pairedBy_(older.functions.size(), 0) {}

    BuildMatch run(const Progress& progress) {
        std::vector<Vote> lasting;
        voteByKeys(lasting, false);
        constexpr std::size_t mostRounds = 64;
        std::size_t round = 0;
        // Pairs are made, round after round, where the evidence agrees; each new pair brings
        // evidence of its own (its calls, its neighbours), so that pairs spread from the code and
        // data the builds share to the functions round them.
        while (round < mostRounds) {
            ++round;
            if (progress) {
                progress("pairing functions", round, mostRounds);
            }
            if (!settle(lasting, true)) {
                break;
            }
        }
        // Then evidence that came later and points elsewhere undoes a pair, and what it brought
        // goes with it, until every pair left has two kinds of evidence and none against it.
        while (round < 2 * mostRounds && settle(lasting, false)) {
            ++round;
        }
        if (progress) {
            progress("pairing functions", mostRounds, mostRounds);
        }
        return result(round);
    }

private:
    // Same code and the same constants, found once in each build (what holds before any pair),
    // or once among the functions not paired yet: what several functions share, one of each
    // build is left with once the others are paired.
    void voteByKeys(std::vector<Vote>& votes, bool unpairedOnly) const {
        const BuildFunctions* builds[2] = {&old_, &new_};
        const std::vector<std::uint32_t>* partners[2] = {&newOf_, &oldOf_};
        const auto taken = [&](int side, std::uint32_t n) {
            return unpairedOnly && (*partners[side])[n] != none;
        };
        voteByUniqueKeys(
            old_.functions.size(), new_.functions.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const BuildFunction& function = builds[side]->functions[n];
                if (function.steps < shortestTold || taken(side, static_cast<std::uint32_t>(n))) {
                    return std::nullopt;
                }
                return std::pair(identityOf(function), static_cast<std::uint32_t>(n));
            },
            Evidence::code, votes);
        // A constant's users: a function that refers to it is one holder, whatever the count.
        voteByUniqueKeys(
            old_.data.size(), new_.data.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const DataUse& use = builds[side]->data[n];
                if (taken(side, use.function)) {
                    return std::nullopt;
                }
                return std::pair(use.content, use.function);
            },
            Evidence::data, votes);
    }

    // An unpaired function that calls paired functions: the set of what it calls, in the new
    // build's terms, is found once among each build's unpaired functions.
    void voteByCallees(std::vector<Vote>& votes) const {
        constexpr std::size_t fewestCallees = 2;
        const BuildFunctions* builds[2] = {&old_, &new_};
        const std::vector<std::uint32_t>* partners[2] = {&newOf_, &oldOf_};
        std::vector<std::uint32_t> callees;
        voteByUniqueKeys(
            old_.functions.size(), new_.functions.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const BuildFunctions& build = *builds[side];
                const BuildFunction& function = build.functions[n];
                if ((*partners[side])[n] != none) {
                    return std::nullopt;
                }
                callees.clear();
                for (std::uint32_t step = function.firstStep;
                     step < function.firstStep + function.steps; ++step) {
                    const std::uint32_t callee = build.leadsTo[step];
                    if (callee != 0 && (*partners[side])[callee - 1] != none) {
                        callees.push_back(side == 0 ? newOf_[callee - 1] : callee - 1);
                    }
                }
                std::sort(callees.begin(), callees.end());
                callees.erase(std::unique(callees.begin(), callees.end()), callees.end());
                if (callees.size() < fewestCallees) {
                    return std::nullopt;
                }
                std::uint64_t key = 0x9E3779B97F4A7C15;
                for (const std::uint32_t callee : callees) {
                    key = (key ^ callee) * 0x100000001B3;
                }
                return std::pair(key, static_cast<std::uint32_t>(n));
            },
            Evidence::calls, votes);
    }

    // For each pair: the targets of its aligned instructions that lead to code pair too.
    void voteByCalls(std::vector<Vote>& votes) {
        for (std::uint32_t from = 0; from < newOf_.size(); ++from) {
            if (newOf_[from] == none) {
                continue;
            }
            const std::uint64_t key = (std::uint64_t{from} << 32) | newOf_[from];
            auto found = callVotes_.find(key);
            if (found == callVotes_.end()) {
                found = callVotes_.emplace(key, alignedTargets(from, newOf_[from])).first;
            }
            for (const auto& [a, b] : found->second) {
                votes.push_back({a, b, static_cast<EvidenceSet>(Evidence::calls)});
            }
        }
    }

    // The targets of the two functions' instructions paired by the longest common subsequence of
    // their shapes (after their common start and end), where both lead to a function.
    static constexpr std::size_t mostCells = std::size_t{1} << 22;

    // The table of code addresses the instruction at the step refers to, if any.
    static const std::vector<std::uint32_t>* tableOf(const BuildFunctions& build,
                                                     std::size_t step) {
        const auto found = std::lower_bound(build.tableAt.begin(), build.tableAt.end(), step,
                                            [](const std::pair<std::uint32_t, std::uint32_t>& each,
                                               std::size_t at) { return each.first < at; });
        if (found == build.tableAt.end() || found->first != step) {
            return nullptr;
        }
        const auto table = build.tables.find(found->second);
        return table != build.tables.end() ? &table->second : nullptr;
    }

    std::vector<std::pair<std::uint32_t, std::uint32_t>> alignedTargets(std::uint32_t from,
                                                                        std::uint32_t to) const {
        const BuildFunction& a = old_.functions[from];
        const BuildFunction& b = new_.functions[to];
        const std::uint32_t* x = old_.shapes.data() + a.firstStep;
        const std::uint32_t* y = new_.shapes.data() + b.firstStep;
        // The common start and end first, paired as they stand.
        std::vector<AlignedPair> aligned;
        const std::size_t n = a.steps;
        const std::size_t m = b.steps;
        std::size_t head = 0;
        while (head < n && head < m && x[head] == y[head]) {
            aligned.push_back({head, head, true});
            ++head;
        }
        std::size_t tail = 0;
        while (tail < n - head && tail < m - head && x[n - 1 - tail] == y[m - 1 - tail]) {
            aligned.push_back({n - 1 - tail, m - 1 - tail, true});
            ++tail;
        }
        // The middle, where the tables stay small enough.
        const std::size_t rows = n - head - tail;
        const std::size_t columns = m - head - tail;
        if (rows > 0 && columns > 0 && rows * columns <= mostCells) {
            for (const AlignedPair& pair :
                 longestAlignment(rows, columns, [&](std::size_t i, std::size_t j) {
                     return x[head + i] == y[head + j];
                 })) {
                aligned.push_back({head + pair.i, head + pair.j, pair.fixed});
            }
        }
        // Every call has the same shape: a call counts only where every longest alignment pairs
        // it with the same call, else two calls of different functions may stand paired.
        std::vector<std::pair<std::uint32_t, std::uint32_t>> targets;
        for (const AlignedPair& pair : aligned) {
            const std::uint32_t p = old_.leadsTo[a.firstStep + pair.i];
            const std::uint32_t q = new_.leadsTo[b.firstStep + pair.j];
            // A call of itself says nothing more of the pair.
            if (p != 0 && q != 0 && p - 1 != from && pair.fixed) {
                targets.emplace_back(p - 1, q - 1);
            }
        }
        // A table of code addresses both refer to there, slot by slot, where both are as long.
        for (const AlignedPair& pair : aligned) {
            const std::vector<std::uint32_t>* older = tableOf(old_, a.firstStep + pair.i);
            const std::vector<std::uint32_t>* newer = tableOf(new_, b.firstStep + pair.j);
            if (!pair.fixed || older == nullptr || newer == nullptr ||
                older->size() != newer->size()) {
                continue;
            }
            for (std::size_t k = 0; k < older->size(); ++k) {
                if ((*older)[k] != 0 && (*newer)[k] != 0 && (*older)[k] - 1 != from) {
                    targets.emplace_back((*older)[k] - 1, (*newer)[k] - 1);
                }
            }
        }
        return targets;
    }

    // The unpaired functions between two consecutive pairs of the old build and those between
    // the same two of the new build, aligned: those of the same code in the same order, then in
    // each stretch between those as many on each side, in order, where their sizes are alike.
    void voteByNeighbours(std::vector<Vote>& votes) const {
        std::uint32_t previous = none;
        for (std::uint32_t from = 0; from < newOf_.size(); ++from) {
            if (newOf_[from] == none) {
                continue;
            }
            if (previous != none && from - previous > 1 && newOf_[from] > newOf_[previous] + 1) {
                std::vector<std::uint32_t> a;
                std::vector<std::uint32_t> b;
                for (std::uint32_t k = previous + 1; k < from; ++k) {
                    a.push_back(k);
                }
                for (std::uint32_t k = newOf_[previous] + 1; k < newOf_[from]; ++k) {
                    if (oldOf_[k] == none) {
                        b.push_back(k);
                    }
                }
                voteAcrossGap(a, b, votes);
            }
            previous = from;
        }
        // Where the order of the pairs changed, the functions right after and before each pair
        // in both builds, as long as they stay unpaired and alike in size.
        constexpr std::uint32_t farthest = 64;
        const auto alike = [&](std::uint32_t a, std::uint32_t b) {
            const std::uint32_t x = old_.functions[a].steps;
            const std::uint32_t y = new_.functions[b].steps;
            return old_.functions[a].shape == new_.functions[b].shape ||
                   std::min(x, y) * 2 >= std::max(x, y);
        };
        for (std::uint32_t from = 0; from < newOf_.size(); ++from) {
            const std::uint32_t to = newOf_[from];
            if (to == none) {
                continue;
            }
            for (const int direction : {1, -1}) {
                for (std::uint32_t k = 1; k <= farthest; ++k) {
                    const std::int64_t a = std::int64_t{from} + direction * std::int64_t{k};
                    const std::int64_t b = std::int64_t{to} + direction * std::int64_t{k};
                    if (a < 0 || b < 0 || a >= std::int64_t(newOf_.size()) ||
                        b >= std::int64_t(oldOf_.size())) {
                        break;
                    }
                    const auto x = static_cast<std::uint32_t>(a);
                    const auto y = static_cast<std::uint32_t>(b);
                    if (newOf_[x] != none || oldOf_[y] != none || !alike(x, y)) {
                        break;
                    }
                    votes.push_back({x, y, static_cast<EvidenceSet>(Evidence::neighbours)});
                }
            }
        }
    }

    // The n-th function of the list has a shape no other of the list has.
    static bool onceIn(const std::vector<std::uint32_t>& list, const BuildFunctions& build,
                       std::size_t n) {
        const std::uint64_t identity = identityOf(build.functions[list[n]]);
        return std::count_if(list.begin(), list.end(), [&](std::uint32_t each) {
                   return identityOf(build.functions[each]) == identity;
               }) == 1;
    }

    void voteAcrossGap(const std::vector<std::uint32_t>& a, const std::vector<std::uint32_t>& b,
                       std::vector<Vote>& votes) const {
        const auto shapeOf = [](const BuildFunctions& build, std::uint32_t n) {
            return identityOf(build.functions[n]);
        };
        std::vector<AlignedPair> same;
        if (!a.empty() && !b.empty() && a.size() * b.size() <= mostCells) {
            same = longestAlignment(a.size(), b.size(), [&](std::size_t i, std::size_t j) {
                return shapeOf(old_, a[i]) == shapeOf(new_, b[j]);
            });
        }
        const auto vote = [&](std::size_t i, std::size_t j) {
            votes.push_back({a[i], b[j], static_cast<EvidenceSet>(Evidence::neighbours)});
        };
        // Stretches of as many functions on each side between the same code, where a function
        // was recompiled in place.
        constexpr std::size_t longestStretch = 64;
        std::size_t i0 = 0;
        std::size_t j0 = 0;
        same.push_back({a.size(), b.size(), false});
        for (const auto& [i1, j1, fixed] : same) {
            if (i1 - i0 == j1 - j0 && i1 - i0 <= longestStretch) {
                for (std::size_t k = 0; i0 + k < i1; ++k) {
                    const std::uint32_t x = old_.functions[a[i0 + k]].steps;
                    const std::uint32_t y = new_.functions[b[j0 + k]].steps;
                    if (std::min(x, y) * 2 >= std::max(x, y)) {
                        vote(i0 + k, j0 + k);
                    }
                }
            }
            if (i1 < a.size()) {
                vote(i1, j1);
                // The same code, found once on each side of the stretch: what makes code
                // evidence in a whole build, here among the functions between the same pairs.
                const bool shortCode = old_.functions[a[i1]].steps < shortestTold;
                if ((!shortCode || (a.size() <= closeGap && b.size() <= closeGap)) &&
                    (fixed || (onceIn(a, old_, i1) && onceIn(b, new_, j1)))) {
                    votes.push_back({a[i1], b[j1], static_cast<EvidenceSet>(Evidence::code)});
                }
            }
            i0 = i1 + 1;
            j0 = j1 + 1;
        }
    }

    // Two functions laid out one after the other in both builds that other evidence pairs
    // already (before any pair is made): each is the other's neighbour.
    static void voteByAdjacentVotes(std::vector<Vote>& votes) {
        std::unordered_set<std::uint64_t> voted;
        const auto key = [](std::uint64_t from, std::uint64_t to) { return (from << 32) | to; };
        for (const Vote& vote : votes) {
            if (vote.kind != static_cast<EvidenceSet>(Evidence::neighbours)) {
                voted.insert(key(vote.from, vote.to));
            }
        }
        const std::size_t count = votes.size();
        for (std::size_t n = 0; n < count; ++n) {
            const Vote vote = votes[n];
            if (vote.kind == static_cast<EvidenceSet>(Evidence::neighbours)) {
                continue;
            }
            const bool after = voted.contains(key(vote.from + 1ull, vote.to + 1ull));
            const bool before = vote.from > 0 && vote.to > 0 &&
                                voted.contains(key(vote.from - 1ull, vote.to - 1ull));
            if (after || before) {
                votes.push_back(
                    {vote.from, vote.to, static_cast<EvidenceSet>(Evidence::neighbours)});
            }
        }
    }

    // The votes of this round's pairs: growing, each old function that every vote for it leads
    // to one unpaired new function, which every vote for it comes from, by at least two kinds,
    // pairs with it; else each pair that no longer has that undoes. False when nothing changed.
    bool settle(const std::vector<Vote>& lasting, bool growing) {
        std::vector<Vote> votes = lasting;
        voteByKeys(votes, true);
        voteByCallees(votes);
        voteByCalls(votes);
        voteByNeighbours(votes);
        voteByAdjacentVotes(votes);
        std::sort(votes.begin(), votes.end(), [](const Vote& a, const Vote& b) {
            return std::pair(a.from, a.to) < std::pair(b.from, b.to);
        });
        constexpr std::uint32_t several = none - 1;
        std::vector<std::uint32_t> toOf(old_.functions.size(), none);
        std::vector<std::uint32_t> fromOf(new_.functions.size(), none);
        std::fill(kinds_.begin(), kinds_.end(), 0);
        for (const Vote& vote : votes) {
            std::uint32_t& to = toOf[vote.from];
            to = to == none || to == vote.to ? vote.to : several;
            std::uint32_t& from = fromOf[vote.to];
            from = from == none || from == vote.from ? vote.from : several;
            kinds_[vote.from] |= vote.kind;
        }
        const auto agreed = [&](std::uint32_t from, std::uint32_t to) {
            return toOf[from] == to && fromOf[to] == from && std::popcount(kinds_[from]) >= 2;
        };
        // Evidence against a pair: a vote for either side that points elsewhere.
        const auto contested = [&](std::uint32_t from, std::uint32_t to) {
            return (toOf[from] != none && toOf[from] != to) ||
                   (fromOf[to] != none && fromOf[to] != from);
        };
        bool changed = false;
        for (std::uint32_t from = 0; from < toOf.size(); ++from) {
            const std::uint32_t to = growing ? toOf[from] : newOf_[from];
            if (growing && newOf_[from] == none && to < several && oldOf_[to] == none &&
                agreed(from, to)) {
                newOf_[from] = to;
                oldOf_[to] = from;
                pairedBy_[from] = kinds_[from];
                changed = true;
            } else if (!growing && to != none && contested(from, to)) {
                newOf_[from] = none;
                oldOf_[to] = none;
                changed = true;
            }
        }
        return changed;
    }

    BuildMatch result(std::size_t rounds) const {
        BuildMatch match;
        match.oldFunctions = old_.functions.size();
        match.newFunctions = new_.functions.size();
        match.rounds = rounds;
        for (std::uint32_t from = 0; from < newOf_.size(); ++from) {
            const BuildFunction& a = old_.functions[from];
            if (newOf_[from] == none) {
                match.removed.push_back(a.begin);
                continue;
            }
            const BuildFunction& b = new_.functions[newOf_[from]];
            // What paired it, and what speaks for it once every pair is made.
            match.pairs.push_back({a.begin, b.begin, a.shape == b.shape,
                                   static_cast<EvidenceSet>(pairedBy_[from] | kinds_[from])});
        }
        for (std::uint32_t to = 0; to < oldOf_.size(); ++to) {
            if (oldOf_[to] == none) {
                match.added.push_back(new_.functions[to].begin);
            }
        }
        return match;
    }

    const BuildFunctions& old_;
    const BuildFunctions& new_;
    std::vector<std::uint32_t> newOf_; // per old function, its pair's index or none
    std::vector<std::uint32_t> oldOf_;
    std::vector<EvidenceSet> kinds_;    // per old function, of the votes for it in the last round
    std::vector<EvidenceSet> pairedBy_; // per old function, the kinds that paired it
    // The votes a pair's aligned code casts, kept: a pair keeps them from round to round.
    std::unordered_map<std::uint64_t, std::vector<std::pair<std::uint32_t, std::uint32_t>>>
        callVotes_;
};

} // namespace

std::string evidenceText(Evidence evidence) {
    switch (evidence) {
    case Evidence::code:
        return "code";
    case Evidence::data:
        return "data";
    case Evidence::calls:
        return "calls";
    case Evidence::neighbours:
        return "neighbours";
    }
    return "";
}

std::vector<std::string> evidenceTexts(EvidenceSet evidence) {
    std::vector<std::string> texts;
    for (const Evidence kind : everyEvidence) {
        if ((evidence & static_cast<EvidenceSet>(kind)) != 0) {
            texts.push_back(evidenceText(kind));
        }
    }
    return texts;
}

std::optional<std::uint64_t> BuildMatch::newFunctionOf(std::uint64_t oldStart) const {
    const auto found = std::lower_bound(
        pairs.begin(), pairs.end(), oldStart,
        [](const FunctionPair& pair, std::uint64_t at) { return pair.oldRva < at; });
    return found != pairs.end() && found->oldRva == oldStart ? std::optional(found->newRva)
                                                             : std::nullopt;
}

std::optional<std::uint64_t> BuildMatch::oldFunctionOf(std::uint64_t newStart) const {
    const auto found = std::find_if(pairs.begin(), pairs.end(), [&](const FunctionPair& pair) {
        return pair.newRva == newStart;
    });
    return found != pairs.end() ? std::optional(found->oldRva) : std::nullopt;
}

BuildMatch matchFunctions(const BuildFunctions& older, const BuildFunctions& newer,
                          const Progress& progress) {
    return Matcher(older, newer).run(progress);
}

BuildMatch matchBuilds(const ExecutableImage& older, const ExecutableImage& newer,
                       const Progress& progress) {
    BuildFunctions oldFunctions;
    std::exception_ptr failed;
    std::thread reader([&] {
        try {
            const OwnDecoder decoder;
            oldFunctions = readBuildFunctions(older);
        } catch (...) {
            failed = std::current_exception(); // out of memory: told where the caller waits
        }
    });
    // The progress of the new build's reading stands for both: they take alike.
    BuildFunctions newFunctions;
    try {
        newFunctions = readBuildFunctions(newer, progress);
    } catch (...) {
        reader.join();
        throw;
    }
    reader.join();
    if (failed) {
        std::rethrow_exception(failed);
    }
    return matchFunctions(oldFunctions, newFunctions, progress);
}

} // namespace scan
