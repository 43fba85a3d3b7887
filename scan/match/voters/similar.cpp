// Similar code: what a recompile leaves of a function is most of its instructions, with other
// registers, offsets and encodings: their mnemonics. Between two consecutive pairs, each unpaired
// function's mnemonics against those of the other build's unpaired functions there: where one is
// clearly the most alike, in both directions, the two pair by it.

#include "scan/match/voters/per_gap.hpp"
#include "scan/match/voters/voters.hpp"

#include <algorithm>

namespace scan {

namespace {

std::vector<std::uint16_t> sortedMnemonics(const BuildFunctions& build, std::uint32_t n) {
    const BuildFunction& function = build.functions[n];
    std::vector<std::uint16_t> shapes(build.mnemonics.begin() + function.firstStep,
                                      build.mnemonics.begin() + function.firstStep +
                                          function.steps);
    std::sort(shapes.begin(), shapes.end());
    return shapes;
}

// The mnemonics both hold, counted as often as both hold them, over the longer's count.
double shared(const std::vector<std::uint16_t>& a, const std::vector<std::uint16_t>& b) {
    std::size_t common = 0;
    for (std::size_t i = 0, j = 0; i < a.size() && j < b.size();) {
        if (a[i] == b[j]) {
            ++common;
            ++i;
            ++j;
        } else if (a[i] < b[j]) {
            ++i;
        } else {
            ++j;
        }
    }
    return static_cast<double>(common) / static_cast<double>(std::max(a.size(), b.size()));
}

class SimilarVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        const MatchPolicy& policy = pairing.policy();
        perGap_.addTo(
            pairing, votes,
            [&](const Gap& gap) {
                return !gap.a.empty() && !gap.b.empty() &&
                       gap.a.size() * gap.b.size() <= policy.mostGapCandidates;
            },
            [&](const Gap& gap, Votes& cast) { inGap(pairing, gap, cast); });
    }

private:
    void inGap(const Pairing& pairing, const Gap& gap, Votes& votes) {
        const MatchPolicy& policy = pairing.policy();
        // Each function's mnemonics sorted once: a gap that changed is compared anew, and its
        // functions again in the next gap they lie in.
        const auto shapesOf = [&](int side, const std::vector<std::uint32_t>& list) {
            const BuildFunctions& build = pairing.build(side);
            std::vector<std::vector<std::uint16_t>>& sorted = sorted_[side];
            sorted.resize(build.functions.size());
            std::vector<const std::vector<std::uint16_t>*> all;
            for (const std::uint32_t n : list) {
                if (build.functions[n].steps >= policy.fewestSimilarSteps && sorted[n].empty()) {
                    sorted[n] = sortedMnemonics(build, n);
                }
                all.push_back(&sorted[n]); // empty for code too small to tell
            }
            return all;
        };
        const auto a = shapesOf(0, gap.a);
        const auto b = shapesOf(1, gap.b);
        std::vector<double> alike(a.size() * b.size(), 0);
        for (std::size_t i = 0; i < a.size(); ++i) {
            for (std::size_t j = 0; j < b.size() && !a[i]->empty(); ++j) {
                alike[i * b.size() + j] = b[j]->empty() ? 0 : shared(*a[i], *b[j]);
            }
        }
        for (std::size_t i = 0; i < a.size(); ++i) {
            std::size_t best = 0;
            for (std::size_t j = 1; j < b.size(); ++j) {
                best = alike[i * b.size() + j] > alike[i * b.size() + best] ? j : best;
            }
            if (alike[i * b.size() + best] < policy.similarBest) {
                continue;
            }
            // Clearly ahead: every other in its row and in its partner's column far behind.
            bool clear = true;
            for (std::size_t j = 0; j < b.size() && clear; ++j) {
                clear = j == best || alike[i * b.size() + j] <= policy.similarSecond;
            }
            for (std::size_t k = 0; k < a.size() && clear; ++k) {
                clear = k == i || alike[k * b.size() + best] <= policy.similarSecond;
            }
            if (clear) {
                votes.push_back({gap.a[i], gap.b[best], Evidence::similar});
            }
        }
    }

    PerGap perGap_;
    std::vector<std::vector<std::uint16_t>> sorted_[2];
};

} // namespace

std::unique_ptr<Voter> similarVoter() {
    return std::make_unique<SimilarVoter>();
}

} // namespace scan
