// Calls as sets: what a function calls, once its callees are paired, names it whatever its own
// code became. An unpaired function whose set of paired callees, in the new build's terms, no
// other unpaired function of either build has; and the one unpaired function of the new build
// that calls the partners of all the old one's paired callees.

#include "scan/match/voters/unique_keys.hpp"
#include "scan/match/voters/voters.hpp"

#include <algorithm>
#include <span>

namespace scan {

namespace {

// The functions each function's instructions lead to, once each, itself left out: found once,
// since what a function calls never changes, only which of its callees are paired.
class Callees {
public:
    explicit Callees(const BuildFunctions& build) : first_(build.functions.size() + 1, 0) {
        std::vector<std::uint32_t> each;
        for (std::uint32_t n = 0; n < build.functions.size(); ++n) {
            each.clear();
            for (const Link& link : build.linksOf(build.functions[n])) {
                if (link.function != n) {
                    each.push_back(link.function);
                }
            }
            std::sort(each.begin(), each.end());
            each.erase(std::unique(each.begin(), each.end()), each.end());
            all_.insert(all_.end(), each.begin(), each.end());
            first_[n + 1] = static_cast<std::uint32_t>(all_.size());
        }
    }
    std::span<const std::uint32_t> of(std::uint32_t n) const {
        return {all_.data() + first_[n], all_.data() + first_[n + 1]};
    }

private:
    std::vector<std::uint32_t> first_;
    std::vector<std::uint32_t> all_;
};

class CallSetsVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        if (callees_.empty()) {
            callees_.emplace_back(pairing.older());
            callees_.emplace_back(pairing.newer());
            const std::size_t newCount = pairing.newer().functions.size();
            callersOfNew_.resize(newCount);
            for (std::uint32_t n = 0; n < newCount; ++n) {
                for (const std::uint32_t callee : callees_[1].of(n)) {
                    callersOfNew_[callee].push_back(n); // ascending: n grows
                }
            }
        }
        sameSet(pairing, votes);
        covering(pairing, votes);
    }

private:
    void sameSet(const Pairing& pairing, Votes& votes) const {
        std::vector<std::uint32_t> callees;
        voteByUniqueKeys(
            pairing.older().functions.size(), pairing.newer().functions.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const auto index = static_cast<std::uint32_t>(n);
                if (pairing.paired(side, index)) {
                    return std::nullopt;
                }
                // Its paired callees in the new build's terms (each once: pairs are one to one).
                callees.clear();
                for (const std::uint32_t callee :
                     callees_[static_cast<std::size_t>(side)].of(index)) {
                    if (pairing.paired(side, callee)) {
                        callees.push_back(side == 0 ? pairing.newOf(callee) : callee);
                    }
                }
                std::sort(callees.begin(), callees.end());
                if (callees.size() < pairing.policy().fewestCallees) {
                    return std::nullopt;
                }
                std::uint64_t key = 0x9E3779B97F4A7C15;
                for (const std::uint32_t callee : callees) {
                    key = (key ^ callee) * 0x100000001B3;
                }
                return std::pair(key, static_cast<std::uint32_t>(n));
            },
            Evidence::callSets, votes);
    }

    // The unpaired new functions that call every one of the partners: the callers of the
    // partner called least, narrowed by each other's.
    void covering(const Pairing& pairing, Votes& votes) const {
        const BuildFunctions& older = pairing.older();
        constexpr std::size_t mostCallers = 4096;
        std::vector<std::uint32_t> partners;
        std::vector<std::uint32_t> candidates;
        std::vector<std::uint32_t> narrowed;
        for (std::uint32_t from = 0; from < older.functions.size(); ++from) {
            if (pairing.paired(0, from)) {
                continue;
            }
            partners.clear();
            for (const std::uint32_t callee : callees_[0].of(from)) {
                if (pairing.paired(0, callee)) {
                    partners.push_back(pairing.newOf(callee));
                }
            }
            if (partners.size() < pairing.policy().fewestCallees) {
                continue;
            }
            std::sort(partners.begin(), partners.end(), [&](std::uint32_t a, std::uint32_t b) {
                return callersOfNew_[a].size() < callersOfNew_[b].size();
            });
            if (callersOfNew_[partners.front()].size() > mostCallers) {
                continue;
            }
            // Narrowed first and filtered after: the callers of a partner called from many
            // places are the most, and few candidates are left to look up.
            candidates.assign(callersOfNew_[partners.front()].begin(),
                              callersOfNew_[partners.front()].end());
            for (std::size_t k = 1; k < partners.size() && candidates.size() > 1; ++k) {
                narrowOf(candidates, callersOfNew_[partners[k]], narrowed);
                candidates.swap(narrowed);
            }
            std::erase_if(candidates,
                          [&](std::uint32_t caller) { return pairing.paired(1, caller); });
            // Narrowed by every partner, unless one was left before the last.
            if (candidates.size() == 1) {
                bool coversAll = true;
                for (const std::uint32_t partner : partners) {
                    const std::vector<std::uint32_t>& callers = callersOfNew_[partner];
                    coversAll = coversAll && std::binary_search(callers.begin(), callers.end(),
                                                                candidates.front());
                }
                if (coversAll) {
                    votes.push_back({from, candidates.front(), Evidence::callSets});
                }
            }
        }
    }

    // The candidates that are among the callers (both ascending): by looking each up where the
    // callers are many more.
    static void narrowOf(const std::vector<std::uint32_t>& candidates,
                         const std::vector<std::uint32_t>& callers,
                         std::vector<std::uint32_t>& narrowed) {
        narrowed.clear();
        if (callers.size() > 16 * candidates.size()) {
            for (const std::uint32_t candidate : candidates) {
                if (std::binary_search(callers.begin(), callers.end(), candidate)) {
                    narrowed.push_back(candidate);
                }
            }
            return;
        }
        std::set_intersection(candidates.begin(), candidates.end(), callers.begin(), callers.end(),
                              std::back_inserter(narrowed));
    }

    std::vector<Callees> callees_; // per side, once the first round asks

    std::vector<std::vector<std::uint32_t>> callersOfNew_;
};

} // namespace

std::unique_ptr<Voter> callSetsVoter() {
    return std::make_unique<CallSetsVoter>();
}

} // namespace scan
