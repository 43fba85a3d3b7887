// Calls as sets: what a function calls, once its callees are paired, names it whatever its own
// code became. An unpaired function whose set of paired callees, in the new build's terms, no
// other unpaired function of either build has; and the one unpaired function of the new build
// that calls the partners of all the old one's paired callees, where it covers no other.

#include "scan/match/voters/grouped.hpp"
#include "scan/match/voters/unique_keys.hpp"
#include "scan/match/voters/voters.hpp"

#include <algorithm>
#include <span>

namespace scan {

namespace {

// The functions each function's instructions lead to, once each, itself left out: found once,
// since what a function calls never changes, only which of its callees are paired. And the other
// way, who calls each.
class Calls {
public:
    explicit Calls(const BuildFunctions& build) : first_(build.functions.size() + 1, 0) {
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
        // Callers ascending for each callee, as n grows.
        callers_.build(build.functions.size(), [&](const auto& place) {
            for (std::uint32_t n = 0; n < build.functions.size(); ++n) {
                for (const std::uint32_t callee : calleesOf(n)) {
                    place(callee, n);
                }
            }
        });
    }
    std::span<const std::uint32_t> calleesOf(std::uint32_t n) const {
        return {all_.data() + first_[n], all_.data() + first_[n + 1]};
    }
    std::span<const std::uint32_t> callersOf(std::uint32_t n) const { return callers_.of(n); }

private:
    std::vector<std::uint32_t> first_;
    std::vector<std::uint32_t> all_;
    Grouped callers_;
};

class CallSetsVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        if (calls_.empty()) {
            for (int side = 0; side < 2; ++side) {
                const std::size_t count = pairing.build(side).functions.size();
                calls_.emplace_back(pairing.build(side));
                seen_[side].resize(count);
                for (std::uint32_t n = 0; n < count; ++n) {
                    seen_[side][n] = pairing.partnerOf(side, n);
                }
                keys_[side].assign(count, {});
                keyAsked_[side].assign(count, 1);
            }
            cover_.assign(pairing.older().functions.size(), unpaired);
            coverAsked_.assign(pairing.older().functions.size(), 1);
        } else {
            whatChanged(pairing);
        }
        sameSet(pairing, votes);
        covering(pairing, votes);
    }

private:
    // The candidates start from the callers of the partner called least, at most these.
    static constexpr std::size_t mostCallers = 4096;

    struct Key {
        std::uint64_t hash = 0;
        bool counts = false; // enough paired callees
    };

    // From round to round few pairs change: a function's set and its covering candidate are
    // asked again only where a pair they read changed. Its set reads its callees' partners; the
    // candidate also whether the callers of those partners are paired.
    void whatChanged(const Pairing& pairing) {
        std::vector<std::uint32_t> changed[2];
        for (int side = 0; side < 2; ++side) {
            for (std::uint32_t n = 0; n < seen_[side].size(); ++n) {
                if (seen_[side][n] != pairing.partnerOf(side, n)) {
                    seen_[side][n] = pairing.partnerOf(side, n);
                    changed[side].push_back(n);
                }
            }
        }
        for (int side = 0; side < 2; ++side) {
            for (const std::uint32_t n : changed[side]) {
                for (const std::uint32_t caller :
                     calls_[static_cast<std::size_t>(side)].callersOf(n)) {
                    keyAsked_[side][caller] = 1;
                    if (side == 0) {
                        coverAsked_[caller] = 1;
                    }
                }
            }
        }
        // A new function paired or freed joins or leaves the candidates of each old function
        // whose partners it calls all: the old callers of its callees' partners. Only through a
        // callee with few enough callers to be the partner the candidates start from.
        std::vector<std::uint8_t> reached(seen_[0].size(), 0);
        for (const std::uint32_t y : changed[1]) {
            for (const std::uint32_t callee : calls_[1].calleesOf(y)) {
                const std::uint32_t x = pairing.oldOf(callee);
                if (x == unpaired || reached[x] != 0 ||
                    calls_[1].callersOf(callee).size() > mostCallers) {
                    continue;
                }
                reached[x] = 1;
                for (const std::uint32_t caller : calls_[0].callersOf(x)) {
                    coverAsked_[caller] = 1;
                }
            }
        }
    }

    void sameSet(const Pairing& pairing, Votes& votes) {
        std::vector<std::uint32_t> callees;
        voteByUniqueKeys(
            pairing.older().functions.size(), pairing.newer().functions.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const auto index = static_cast<std::uint32_t>(n);
                if (pairing.paired(side, index)) {
                    return std::nullopt;
                }
                Key& key = keys_[side][n];
                if (keyAsked_[side][n] != 0) {
                    keyAsked_[side][n] = 0;
                    key = keyOf(pairing, side, index, callees);
                }
                if (!key.counts) {
                    return std::nullopt;
                }
                return std::pair(key.hash, index);
            },
            Evidence::callSets, votes);
    }

    // Its paired callees in the new build's terms (each once: pairs are one to one).
    Key keyOf(const Pairing& pairing, int side, std::uint32_t n,
              std::vector<std::uint32_t>& callees) const {
        callees.clear();
        for (const std::uint32_t callee : calls_[static_cast<std::size_t>(side)].calleesOf(n)) {
            if (pairing.paired(side, callee)) {
                callees.push_back(side == 0 ? pairing.newOf(callee) : callee);
            }
        }
        std::sort(callees.begin(), callees.end());
        Key key{0x9E3779B97F4A7C15, callees.size() >= pairing.policy().fewestCallees};
        for (const std::uint32_t callee : callees) {
            key.hash = (key.hash ^ callee) * 0x100000001B3;
        }
        return key;
    }

    void covering(const Pairing& pairing, Votes& votes) {
        std::vector<std::uint32_t> partners;
        std::vector<std::uint32_t> candidates;
        std::vector<std::uint32_t> narrowed;
        // A candidate that covers several old functions tells none of them: this kind never
        // contradicts itself, and so never stands against what the others agree on.
        covered_.assign(pairing.newer().functions.size(), 0);
        for (std::uint32_t from = 0; from < cover_.size(); ++from) {
            if (pairing.paired(0, from)) {
                continue;
            }
            if (coverAsked_[from] != 0) {
                coverAsked_[from] = 0;
                cover_[from] = coveringCandidate(pairing, from, partners, candidates, narrowed);
            }
            if (cover_[from] != unpaired) {
                ++covered_[cover_[from]];
            }
        }
        for (std::uint32_t from = 0; from < cover_.size(); ++from) {
            if (!pairing.paired(0, from) && cover_[from] != unpaired &&
                covered_[cover_[from]] == 1) {
                votes.push_back({from, cover_[from], Evidence::callSets});
            }
        }
    }

    // The one unpaired new function that calls every one of the partners of the old function's
    // paired callees, or unpaired: the callers of the partner called least, narrowed by each
    // other's.
    std::uint32_t coveringCandidate(const Pairing& pairing, std::uint32_t from,
                                    std::vector<std::uint32_t>& partners,
                                    std::vector<std::uint32_t>& candidates,
                                    std::vector<std::uint32_t>& narrowed) const {
        const Calls& newer = calls_[1];
        partners.clear();
        for (const std::uint32_t callee : calls_[0].calleesOf(from)) {
            if (pairing.paired(0, callee)) {
                partners.push_back(pairing.newOf(callee));
            }
        }
        if (partners.size() < pairing.policy().fewestCallees) {
            return unpaired;
        }
        std::sort(partners.begin(), partners.end(), [&](std::uint32_t a, std::uint32_t b) {
            return newer.callersOf(a).size() < newer.callersOf(b).size();
        });
        const std::span<const std::uint32_t> fewest = newer.callersOf(partners.front());
        if (fewest.size() > mostCallers) {
            return unpaired;
        }
        // The unpaired callers, narrowed by each other partner's callers while more than one
        // is left: most callers are paired, and the rest are looked up fewer times.
        candidates.clear();
        for (const std::uint32_t caller : fewest) {
            if (!pairing.paired(1, caller)) {
                candidates.push_back(caller);
            }
        }
        for (std::size_t k = 1; k < partners.size() && candidates.size() > 1; ++k) {
            narrowOf(candidates, newer.callersOf(partners[k]), narrowed);
            candidates.swap(narrowed);
        }
        // Narrowed by every partner, unless one was left before the last.
        if (candidates.size() != 1) {
            return unpaired;
        }
        for (const std::uint32_t partner : partners) {
            const std::span<const std::uint32_t> callers = newer.callersOf(partner);
            if (!std::binary_search(callers.begin(), callers.end(), candidates.front())) {
                return unpaired;
            }
        }
        return candidates.front();
    }

    // The candidates that are among the callers (both ascending): by looking each up where the
    // callers are many more.
    static void narrowOf(const std::vector<std::uint32_t>& candidates,
                         std::span<const std::uint32_t> callers,
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

    std::vector<Calls> calls_; // per side, once the first round asks
    // What was kept of each function, and whether it must be asked again.
    std::vector<std::uint32_t> seen_[2]; // its partner when last looked at
    std::vector<Key> keys_[2];
    std::vector<std::uint8_t> keyAsked_[2];
    std::vector<std::uint32_t> cover_;
    std::vector<std::uint8_t> coverAsked_;
    std::vector<std::uint32_t> covered_; // by new function, how many old ones it covers
};

} // namespace

std::unique_ptr<Voter> callSetsVoter() {
    return std::make_unique<CallSetsVoter>();
}

} // namespace scan
