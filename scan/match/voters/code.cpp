// The same code: the same instruction shapes found once in each build (what holds before any
// pair), or once among the functions not paired yet (what several functions share, one of each
// build is left with once the others are paired), or once between the same two pairs.

#include "scan/match/voters/unique_keys.hpp"
#include "scan/match/voters/voters.hpp"

#include <algorithm>

namespace scan {

namespace {

class CodeVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        lasting_.addTo(votes, [&](Votes& kept) { unique(pairing, false, kept); });
        unique(pairing, true, votes);
        inGaps(pairing, votes);
    }

private:
    static void unique(const Pairing& pairing, bool unpairedOnly, Votes& votes) {
        voteByUniqueKeys(
            pairing.older().functions.size(), pairing.newer().functions.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const auto index = static_cast<std::uint32_t>(n);
                const BuildFunction& function = pairing.build(side).functions[n];
                if (function.steps < pairing.policy().shortestTold ||
                    (unpairedOnly && pairing.paired(side, index))) {
                    return std::nullopt;
                }
                return std::pair(pairing.identityOf(function), index);
            },
            Evidence::code, votes);
    }

    // The n-th function of the list has a shape no other of the list has.
    static bool onceIn(const Pairing& pairing, const std::vector<std::uint32_t>& list,
                       const BuildFunctions& build, std::size_t n) {
        const std::uint64_t identity = pairing.identityOf(build.functions[list[n]]);
        return std::count_if(list.begin(), list.end(), [&](std::uint32_t each) {
                   return pairing.identityOf(build.functions[each]) == identity;
               }) == 1;
    }

    // The same code aligned in a gap, where every longest alignment pairs it or it is found once
    // on each side: what makes code evidence in a whole build, among the functions between the
    // same pairs. Short code only where the gap is small.
    static void inGaps(const Pairing& pairing, Votes& votes) {
        const MatchPolicy& policy = pairing.policy();
        for (const Gap& gap : pairing.gaps()) {
            const bool close = gap.a.size() <= policy.closeGap && gap.b.size() <= policy.closeGap;
            for (const AlignedPair& same : gap.same) {
                const bool shortCode =
                    pairing.older().functions[gap.a[same.i]].steps < policy.shortestTold;
                if ((!shortCode || close) &&
                    (same.fixed || (onceIn(pairing, gap.a, pairing.older(), same.i) &&
                                    onceIn(pairing, gap.b, pairing.newer(), same.j)))) {
                    votes.push_back({gap.a[same.i], gap.b[same.j], Evidence::code});
                }
            }
        }
    }

    Lasting lasting_;
};

} // namespace

std::unique_ptr<Voter> codeVoter() {
    return std::make_unique<CodeVoter>();
}

} // namespace scan
