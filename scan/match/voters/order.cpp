// Order in a gap: between two consecutive pairs, as many unpaired functions on each side, the
// k-th of one build's paired with the other's k-th where their code is alike (the longest
// common subsequence of their mnemonics against the longer: a recompile changes registers and
// offsets, seldom which instructions).

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
            // Small code has the shapes of countless others.
            if (std::min(x.steps, y.steps) < policy.fewestSimilarSteps ||
                std::size_t{x.steps} * y.steps > policy.mostCells) {
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

    PerGap perGap_;
};

} // namespace

std::unique_ptr<Voter> orderVoter() {
    return std::make_unique<OrderVoter>();
}

} // namespace scan
