// Neighbours: where a function lies. Between two consecutive pairs, the unpaired functions of the
// same code in the same order, and in each stretch between those as many on each side, in order,
// where their sizes are alike; the functions right after and before each pair, while both sides
// stay unpaired and alike; and two functions that other evidence pairs, lying next to each other
// in both builds.

#include "scan/match/voters/grouped.hpp"
#include "scan/match/voters/voters.hpp"

#include <algorithm>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

namespace scan {

namespace {

class NeighboursVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        Votes cast;
        inGaps(pairing, cast);
        besidePairs(pairing, cast);
        nextToVotes(pairing, votes, cast);
        withoutItsOwnConflicts(pairing, cast);
        votes.insert(votes.end(), cast.begin(), cast.end());
    }

private:
    static void inGaps(const Pairing& pairing, Votes& votes) {
        const MatchPolicy& policy = pairing.policy();
        for (const Gap& gap : pairing.gaps()) {
            std::size_t i0 = 0;
            std::size_t j0 = 0;
            std::vector<AlignedPair> same = gap.same;
            same.push_back({gap.a.size(), gap.b.size(), false});
            for (const AlignedPair& each : same) {
                const std::size_t i1 = each.i;
                const std::size_t j1 = each.j;
                // Stretches of as many functions on each side between the same code, where a
                // function was recompiled in place.
                if (i1 - i0 == j1 - j0 && i1 - i0 <= policy.longestStretch) {
                    for (std::size_t k = 0; i0 + k < i1; ++k) {
                        if (pairing.alikeInSize(pairing.older().functions[gap.a[i0 + k]].steps,
                                                pairing.newer().functions[gap.b[j0 + k]].steps)) {
                            votes.push_back({gap.a[i0 + k], gap.b[j0 + k], Evidence::neighbours});
                        }
                    }
                }
                if (i1 < gap.a.size()) {
                    votes.push_back({gap.a[i1], gap.b[j1], Evidence::neighbours});
                }
                i0 = i1 + 1;
                j0 = j1 + 1;
            }
        }
    }

    // Where the order of the pairs changed, the functions right after and before each pair in
    // both builds, as long as they stay unpaired and alike in size.
    static void besidePairs(const Pairing& pairing, Votes& votes) {
        const std::vector<BuildFunction>& older = pairing.older().functions;
        const std::vector<BuildFunction>& newer = pairing.newer().functions;
        const auto alike = [&](std::uint32_t a, std::uint32_t b) {
            return older[a].shape == newer[b].shape ||
                   pairing.alikeInSize(older[a].steps, newer[b].steps);
        };
        for (std::uint32_t from = 0; from < older.size(); ++from) {
            const std::uint32_t to = pairing.newOf(from);
            if (to == unpaired) {
                continue;
            }
            for (const int direction : {1, -1}) {
                for (std::uint32_t k = 1; k <= pairing.policy().farthestNeighbour; ++k) {
                    const std::int64_t a = std::int64_t{from} + direction * std::int64_t{k};
                    const std::int64_t b = std::int64_t{to} + direction * std::int64_t{k};
                    if (a < 0 || b < 0 || a >= std::int64_t(older.size()) ||
                        b >= std::int64_t(newer.size())) {
                        break;
                    }
                    const auto x = static_cast<std::uint32_t>(a);
                    const auto y = static_cast<std::uint32_t>(b);
                    if (pairing.paired(0, x) || pairing.paired(1, y) || !alike(x, y)) {
                        break;
                    }
                    votes.push_back({x, y, Evidence::neighbours});
                }
            }
        }
    }

    // Where a function lies says nothing when the walks from the two pairs round a gap put it in
    // two places (a gap with more functions on one side): of those votes, none is cast, so that
    // this kind never contradicts itself and so never stands against what the others agree on.
    static void withoutItsOwnConflicts(const Pairing& pairing, Votes& votes) {
        // By function, not hashed: the cast holds about one vote per pair of a large build.
        constexpr std::uint32_t none = UINT32_MAX - 1;
        constexpr std::uint32_t several = UINT32_MAX;
        std::vector<std::uint32_t> toOf(pairing.older().functions.size(), none);
        std::vector<std::uint32_t> fromOf(pairing.newer().functions.size(), none);
        const auto note = [](std::uint32_t& at, std::uint32_t value) {
            at = at == none || at == value ? value : several;
        };
        for (const Vote& vote : votes) {
            note(toOf[vote.from], vote.to);
            note(fromOf[vote.to], vote.from);
        }
        std::erase_if(votes, [&](const Vote& vote) {
            return toOf[vote.from] == several || fromOf[vote.to] == several;
        });
    }

    // Two functions laid out one after the other in both builds that other evidence pairs
    // already: each is the other's neighbour. Reads the other kinds' votes, and this voter's
    // own cast so far never.
    void nextToVotes(const Pairing& pairing, const Votes& others, Votes& votes) {
        // The new functions voted for each old one, sorted, side by side by the old one's
        // index: looking up a function's neighbour reads the list next to its own.
        const std::size_t count = pairing.older().functions.size();
        voted_.build(count, [&](const auto& place) {
            for (const Vote& vote : others) {
                place(vote.from, vote.to);
            }
        });
        for (std::size_t n = 0; n < count; ++n) {
            const std::span<std::uint32_t> each = voted_.of(n);
            std::sort(each.begin(), each.end());
        }
        const auto contains = [&](std::uint64_t from, std::uint64_t to) {
            if (from >= count) {
                return false;
            }
            const std::span<const std::uint32_t> each = std::as_const(voted_).of(from);
            return std::binary_search(each.begin(), each.end(), to);
        };
        for (const Vote& vote : others) {
            const bool after = contains(vote.from + 1ull, vote.to + 1ull);
            const bool before =
                vote.from > 0 && vote.to > 0 && contains(vote.from - 1ull, vote.to - 1ull);
            if (after || before) {
                votes.push_back({vote.from, vote.to, Evidence::neighbours});
            }
        }
    }

    Grouped voted_; // kept from round to round for its room only
};

} // namespace

std::unique_ptr<Voter> neighboursVoter() {
    return std::make_unique<NeighboursVoter>();
}

} // namespace scan
