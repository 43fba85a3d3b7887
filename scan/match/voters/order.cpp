// Order in a gap: between two consecutive pairs, as many unpaired functions on each side, the
// k-th of one build's paired with the other's k-th where their code is alike (the longest
// common subsequence of their mnemonics against the longer: a recompile changes registers and
// offsets, seldom which instructions). Short code is alike only in the same shape, and only in a
// small gap where neither function's very bytes lie at another place of it: a getter whose field
// offset moved keeps its place, while one added beside it may hold the old one's bytes.

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
                return gap.a.size() == gap.b.size() && gap.a.size() <= policy.longestStretch;
            },
            [&](const Gap& gap, Votes& cast) { inGap(pairing, gap, cast); });
    }

private:
    static void inGap(const Pairing& pairing, const Gap& gap, Votes& votes) {
        const MatchPolicy& policy = pairing.policy();
        const BuildFunctions& older = pairing.older();
        const BuildFunctions& newer = pairing.newer();
        for (std::size_t k = 0; k < gap.a.size(); ++k) {
            const BuildFunction& x = older.functions[gap.a[k]];
            const BuildFunction& y = newer.functions[gap.b[k]];
            const std::size_t longer = std::max(x.steps, y.steps);
            // Small code has the shapes of countless others: only its place tells it.
            if (std::min(x.steps, y.steps) < policy.fewestSimilarSteps) {
                if (gap.a.size() <= policy.closeGap && x.shape == y.shape &&
                    !bytesElsewhere(older, gap.a, k, y) && !bytesElsewhere(newer, gap.b, k, x)) {
                    votes.push_back({gap.a[k], gap.b[k], Evidence::order});
                }
                continue;
            }
            if (std::size_t{x.steps} * y.steps > policy.mostCells) {
                continue;
            }
            const std::size_t common = longestCommonLength(
                x.steps, y.steps, [&](std::size_t i) { return older.mnemonics[x.firstStep + i]; },
                [&](std::size_t j) { return newer.mnemonics[y.firstStep + j]; });
            if (static_cast<double>(common) >= policy.orderAlike * static_cast<double>(longer)) {
                votes.push_back({gap.a[k], gap.b[k], Evidence::order});
            }
        }
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
