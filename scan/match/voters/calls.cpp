// Calls: in each pair's two functions aligned by their shapes, a call, jump or code address that
// every longest alignment pairs the same way pairs its two targets, and so do the slots of two
// tables of code addresses such instructions refer to. Where nearly all of a function's sites
// agree, the few others are left out.

#include "scan/image/instructions.hpp"
#include "scan/match/voters/voters.hpp"

#include <algorithm>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace scan {

namespace {

using Targets = std::vector<std::pair<std::uint32_t, std::uint32_t>>;

// The table of code addresses the instruction at the step refers to, if any.
const std::vector<std::uint32_t>* tableOf(const BuildFunctions& build, std::size_t step) {
    const auto found = std::lower_bound(build.tableAt.begin(), build.tableAt.end(), step,
                                        [](const std::pair<std::uint32_t, std::uint32_t>& each,
                                           std::size_t at) { return each.first < at; });
    if (found == build.tableAt.end() || found->first != step) {
        return nullptr;
    }
    const auto table = build.tables.find(found->second);
    return table != build.tables.end() ? &table->second : nullptr;
}

// The targets of the two functions' instructions paired by the longest common subsequence of
// their shapes (after their common start and end), where both lead to a function.
Targets alignedTargets(const Pairing& pairing, std::uint32_t from, std::uint32_t to) {
    const BuildFunctions& older = pairing.older();
    const BuildFunctions& newer = pairing.newer();
    const BuildFunction& a = older.functions[from];
    const BuildFunction& b = newer.functions[to];
    const std::uint32_t* x = older.shapes.data() + a.firstStep;
    const std::uint32_t* y = newer.shapes.data() + b.firstStep;
    // What each instruction leads to (function index + 1, 0 for none), laid out per step.
    const auto leadsOf = [](const BuildFunctions& build, const BuildFunction& function) {
        std::vector<std::uint32_t> leads(function.steps, 0);
        for (const Link& link : build.linksOf(function)) {
            leads[link.step - function.firstStep] = link.function + 1;
        }
        return leads;
    };
    const std::vector<std::uint32_t> leadsA = leadsOf(older, a);
    const std::vector<std::uint32_t> leadsB = leadsOf(newer, b);
    // In ascending order: the common start as it stands, the middle, the common end.
    std::vector<AlignedPair> aligned;
    const std::size_t n = a.steps;
    const std::size_t m = b.steps;
    // Named apart, not bound as a pair: the lambdas below take them.
    const CommonEnds ends =
        commonEnds(n, m, [&](std::size_t i, std::size_t j) { return x[i] == y[j]; });
    const std::size_t head = ends.head;
    const std::size_t tail = ends.tail;
    for (std::size_t k = 0; k < head; ++k) {
        aligned.push_back({k, k, true});
    }
    // The middle, where the tables stay small enough.
    const std::size_t rows = n - head - tail;
    const std::size_t columns = m - head - tail;
    if (rows > 0 && columns > 0 && rows * columns <= pairing.policy().mostCells) {
        // Only what leads somewhere on both sides is asked whether it is fixed.
        const auto leads = [&](std::size_t i, std::size_t j) {
            return (leadsA[head + i] != 0 && leadsB[head + j] != 0) ||
                   (tableOf(older, a.firstStep + head + i) != nullptr &&
                    tableOf(newer, b.firstStep + head + j) != nullptr);
        };
        for (const AlignedPair& pair : longestAlignment(
                 rows, columns, [&](std::size_t i) { return x[head + i]; },
                 [&](std::size_t j) { return y[head + j]; }, leads)) {
            aligned.push_back({head + pair.i, head + pair.j, pair.fixed});
        }
    }
    for (std::size_t k = tail; k > 0; --k) {
        aligned.push_back({n - k, m - k, true});
    }
    // Every call has the same shape: a call counts only where every longest alignment pairs it
    // with the same call, else two calls of different functions may stand paired. And only
    // where the aligned instructions nearest before and after it lie close in both functions
    // (or it is as close to both starts or ends): a call whose set-up and use were rewritten
    // round it stands paired only because every call has one shape.
    Targets targets;
    const std::size_t close = pairing.policy().callContext;
    const auto inContext = [&](std::size_t k) {
        const AlignedPair& pair = aligned[k];
        const bool before =
            k == 0 ? pair.i < close && pair.j < close
                   : pair.i - aligned[k - 1].i <= close && pair.j - aligned[k - 1].j <= close;
        const bool after = k + 1 == aligned.size() ? n - pair.i <= close && m - pair.j <= close
                                                   : aligned[k + 1].i - pair.i <= close &&
                                                         aligned[k + 1].j - pair.j <= close;
        return before && after;
    };
    for (std::size_t k = 0; k < aligned.size(); ++k) {
        const AlignedPair& pair = aligned[k];
        const std::uint32_t p = leadsA[pair.i];
        const std::uint32_t q = leadsB[pair.j];
        // A call of itself says nothing more of the pair.
        if (p != 0 && q != 0 && p - 1 != from && pair.fixed && inContext(k)) {
            targets.emplace_back(p - 1, q - 1);
        }
    }
    // A table of code addresses both refer to there, slot by slot, where both are as long.
    for (const AlignedPair& pair : aligned) {
        const std::vector<std::uint32_t>* oldTable = tableOf(older, a.firstStep + pair.i);
        const std::vector<std::uint32_t>* newTable = tableOf(newer, b.firstStep + pair.j);
        if (!pair.fixed || oldTable == nullptr || newTable == nullptr ||
            oldTable->size() != newTable->size()) {
            continue;
        }
        for (std::size_t k = 0; k < oldTable->size(); ++k) {
            if ((*oldTable)[k] != 0 && (*newTable)[k] != 0 && (*oldTable)[k] - 1 != from) {
                targets.emplace_back((*oldTable)[k] - 1, (*newTable)[k] - 1);
            }
        }
    }
    return targets;
}

class CallsVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        const std::size_t first = votes.size();
        byAlignedCalls(pairing, votes);
        byClearMajority(pairing, votes, first);
    }

private:
    // A pair's aligned code votes the same way whatever else changes: kept from round to round.
    // The pairs new this round are aligned two at a time: in the first rounds, most of a build.
    void byAlignedCalls(const Pairing& pairing, Votes& votes) {
        const auto keyOf = [](std::uint32_t from, std::uint32_t to) {
            return (std::uint64_t{from} << 32) | to;
        };
        // Each pair looked up once: its kept targets, or a place for the fresh ones.
        std::vector<const Targets*> targets;
        std::vector<std::uint32_t> fresh;
        for (std::uint32_t from = 0; from < pairing.older().functions.size(); ++from) {
            const std::uint32_t to = pairing.newOf(from);
            if (to == unpaired) {
                continue;
            }
            const auto found = kept_.find(keyOf(from, to));
            if (found == kept_.end()) {
                fresh.push_back(from);
            }
            targets.push_back(found != kept_.end() ? &found->second : nullptr);
        }
        std::vector<Targets> aligned(fresh.size());
        eachSideBySide(fresh.size(), [&](std::size_t k) {
            aligned[k] = alignedTargets(pairing, fresh[k], pairing.newOf(fresh[k]));
        });
        // Kept where they stay put: the map's values do not move as it grows.
        auto next = fresh.begin();
        auto each = aligned.begin();
        for (const Targets*& pair : targets) {
            if (pair == nullptr) {
                pair = &kept_.emplace(keyOf(*next, pairing.newOf(*next)), std::move(*each))
                            .first->second;
                ++next;
                ++each;
            }
            for (const auto& [a, b] : *pair) {
                votes.push_back({a, b, Evidence::calls});
            }
        }
    }

    // Every call site votes apart. Where nearly all the sites that vote for a function agree,
    // the few that point elsewhere are calls that an alignment paired in code rewritten round
    // them (an inlined callee, a call moved): they are dropped, where otherwise a helper called
    // from a thousand places would stay unpaired for two of them. The votes from `first` on.
    void byClearMajority(const Pairing& pairing, Votes& votes, std::size_t first) {
        const auto cast = std::span(votes).subspan(first);
        // Kept from round to round, as the matcher keeps its votes.
        std::vector<Tally>& from = from_;
        std::vector<Tally>& to = to_;
        from.assign(pairing.older().functions.size(), Tally{});
        to.assign(pairing.newer().functions.size(), Tally{});
        for (const Vote& vote : cast) {
            from[vote.from].propose(vote.to);
            to[vote.to].propose(vote.from);
        }
        for (const Vote& vote : cast) {
            from[vote.from].count(vote.to);
            to[vote.to].count(vote.from);
        }
        const std::uint64_t ratio = pairing.policy().callMajority;
        votes.erase(std::remove_if(votes.begin() + static_cast<std::ptrdiff_t>(first), votes.end(),
                                   [&](const Vote& vote) {
                                       return from[vote.from].outvotes(vote.to, ratio) ||
                                              to[vote.to].outvotes(vote.from, ratio);
                                   }),
                    votes.end());
    }

    // The sites that vote for one function. A partner named by more than half of them is the
    // one left standing after each site for another cancels one for it (a majority vote in one
    // pass, no count per partner): with a ratio above one, only such a partner can outvote.
    struct Tally {
        std::uint32_t candidate = unpaired;
        std::uint32_t lead = 0;
        std::uint32_t most = 0; // the candidate's sites
        std::uint32_t all = 0;

        void propose(std::uint32_t partner) {
            if (lead == 0) {
                candidate = partner;
            }
            lead = partner == candidate ? lead + 1 : lead - 1;
        }
        void count(std::uint32_t partner) {
            ++all;
            most += partner == candidate ? 1 : 0;
        }
        // Another partner than this one has at least ratio times the sites of all others.
        bool outvotes(std::uint32_t partner, std::uint64_t ratio) const {
            return partner != candidate && most >= ratio * std::uint64_t{all - most};
        }
    };

    std::unordered_map<std::uint64_t, Targets> kept_;
    std::vector<Tally> from_;
    std::vector<Tally> to_;
};

} // namespace

std::unique_ptr<Voter> callsVoter() {
    return std::make_unique<CallsVoter>();
}

} // namespace scan
