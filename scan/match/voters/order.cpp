// Order in a gap: between two consecutive pairs, as many unpaired functions on each side, the
// k-th of one build's paired with the other's k-th where their code is alike (the longest
// common subsequence of their mnemonics against the longer: a recompile changes registers and
// offsets, seldom which instructions). Short code is alike only in the same shape, and only in a
// small gap where neither function's very bytes lie at another place of it: a getter whose field
// offset moved keeps its place, while one added beside it may hold the old one's bytes. In a
// small gap, also where the new code holds the old whole: a setter of five instructions that
// now checks its argument through a helper first has grown to twenty.
// Where a small gap holds more functions on one side (one added or removed beside them), the
// pairs that every longest alignment of more alike code in order makes: the others still keep
// their order round the one added.

#include "scan/match/voters/per_gap.hpp"
#include "scan/match/voters/voters.hpp"

#include <algorithm>

namespace scan {

namespace {

class OrderVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        const MatchPolicy& policy = pairing.policy();
        perGap_.addTo(
            pairing, votes,
            [&](const Gap& gap) {
                return gap.a.size() == gap.b.size()
                           ? gap.a.size() <= policy.longestStretch
                           : std::max(gap.a.size(), gap.b.size()) <= policy.closeGap;
            },
            [&](const Gap& gap, Votes& cast) {
                if (gap.a.size() == gap.b.size()) {
                    inGap(pairing, gap, cast);
                } else {
                    acrossInsertions(pairing, gap, cast);
                }
            });
    }

private:
    static void inGap(const Pairing& pairing, const Gap& gap, Votes& votes) {
        const MatchPolicy& policy = pairing.policy();
        const BuildFunctions& older = pairing.older();
        const BuildFunctions& newer = pairing.newer();
        for (std::size_t k = 0; k < gap.a.size(); ++k) {
            const BuildFunction& x = older.functions[gap.a[k]];
            const BuildFunction& y = newer.functions[gap.b[k]];
            // Asked last: it weighs the rest of the gap too.
            const auto grown = [&] {
                return gap.a.size() <= policy.closeGap && grownRound(pairing, gap, k);
            };
            // Small code has the shapes of countless others: only its place tells it.
            if (std::min(x.steps, y.steps) < policy.fewestSimilarSteps) {
                if ((gap.a.size() <= policy.closeGap && x.shape == y.shape &&
                     !bytesElsewhere(older, gap.a, k, y) && !bytesElsewhere(newer, gap.b, k, x)) ||
                    grown()) {
                    votes.push_back({gap.a[k], gap.b[k], Evidence::order});
                }
                continue;
            }
            if (alike(pairing, x, y, policy.orderAlike) || grown()) {
                votes.push_back({gap.a[k], gap.b[k], Evidence::order});
            }
        }
    }

    // The longest common subsequence of the two functions' mnemonics is at least `least` of the
    // longer's count; never for code too small to tell, or too long for one table.
    static bool alike(const Pairing& pairing, const BuildFunction& x, const BuildFunction& y,
                      double least) {
        const MatchPolicy& policy = pairing.policy();
        const double longer = std::max(x.steps, y.steps);
        const std::uint32_t shorter = std::min(x.steps, y.steps);
        return shorter >= policy.fewestSimilarSteps && shorter >= least * longer &&
               static_cast<double>(inCommon(pairing, x, y)) >= least * longer;
    }

    // The old code of at least the policy's count found whole, in order, in the new code, by
    // mnemonic.
    static bool heldWhole(const Pairing& pairing, std::uint32_t from, std::uint32_t to) {
        const BuildFunction& x = pairing.older().functions[from];
        const BuildFunction& y = pairing.newer().functions[to];
        return x.steps >= pairing.policy().fewestGrownSteps && x.steps <= y.steps &&
               inCommon(pairing, x, y) == x.steps;
    }

    // The longest common subsequence of the two functions' mnemonics; none for two too long for
    // one table.
    static std::size_t inCommon(const Pairing& pairing, const BuildFunction& x,
                                const BuildFunction& y) {
        if (std::size_t{x.steps} * y.steps > pairing.policy().mostCells) {
            return 0;
        }
        return longestCommonLength(
            x.steps, y.steps,
            [&](std::size_t i) { return pairing.older().mnemonics[x.firstStep + i]; },
            [&](std::size_t j) { return pairing.newer().mnemonics[y.firstStep + j]; });
    }

    // The gap's k-th new function grew round the k-th old one (the same shape is no growth),
    // and neither is held so by another of the gap: common idioms, such as a free that
    // recurses, lie whole in many a larger function.
    static bool grownRound(const Pairing& pairing, const Gap& gap, std::size_t k) {
        const BuildFunction& x = pairing.older().functions[gap.a[k]];
        const BuildFunction& y = pairing.newer().functions[gap.b[k]];
        if (x.steps >= y.steps || x.shape == y.shape || !heldWhole(pairing, gap.a[k], gap.b[k])) {
            return false;
        }
        for (std::size_t n = 0; n < gap.a.size(); ++n) {
            if (n != k && (heldWhole(pairing, gap.a[k], gap.b[n]) ||
                           heldWhole(pairing, gap.a[n], gap.b[k]))) {
                return false;
            }
        }
        return true;
    }

    // A gap with more functions on one side: the pairs of alike code that every longest
    // alignment in order makes. Short code takes no part: its shapes are too common for an
    // added getter not to be taken for a moved one.
    static void acrossInsertions(const Pairing& pairing, const Gap& gap, Votes& votes) {
        const std::size_t n = gap.a.size();
        const std::size_t m = gap.b.size();
        std::vector<bool> pairs(n * m);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                pairs[i * m + j] = alike(pairing, pairing.older().functions[gap.a[i]],
                                         pairing.newer().functions[gap.b[j]],
                                         pairing.policy().orderAcrossInsertions);
            }
        }
        const std::size_t longest = mostInOrder(pairs, n, m);
        // A pair is in every longest alignment where none is as long without it. A small gap
        // holds a few hundred cells at most, each checked with a table of its own.
        for (std::size_t cell = 0; cell < n * m && longest > 0; ++cell) {
            if (!pairs[cell]) {
                continue;
            }
            pairs[cell] = false;
            if (mostInOrder(pairs, n, m) < longest) {
                votes.push_back({gap.a[cell / m], gap.b[cell % m], Evidence::order});
            }
            pairs[cell] = true;
        }
    }

    // The most pairs of an n-by-m table of allowed pairs that can be made in order on both sides.
    static std::size_t mostInOrder(const std::vector<bool>& pairs, std::size_t n, std::size_t m) {
        std::vector<std::size_t> row(m + 1, 0);
        std::vector<std::size_t> next(m + 1, 0);
        for (std::size_t i = 0; i < n; ++i) {
            for (std::size_t j = 0; j < m; ++j) {
                next[j + 1] = std::max({next[j], row[j + 1], row[j] + (pairs[i * m + j] ? 1 : 0)});
            }
            row.swap(next);
        }
        return row[m];
    }

    // Another function of the gap's side than its k-th has the very bytes of the other side's.
    static bool bytesElsewhere(const BuildFunctions& side, const std::vector<std::uint32_t>& list,
                               std::size_t k, const BuildFunction& other) {
        for (std::size_t n = 0; n < list.size(); ++n) {
            if (n != k && side.functions[list[n]].bytes == other.bytes) {
                return true;
            }
        }
        return false;
    }

    PerGap perGap_;
};

} // namespace

std::unique_ptr<Voter> orderVoter() {
    return std::make_unique<OrderVoter>();
}

} // namespace scan
