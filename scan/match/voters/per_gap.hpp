#pragma once
// Votes that depend on one gap's functions alone, kept while the gap stands as it was: from round
// to round most gaps keep their functions, and a voter that compares a gap's functions would else
// compare them all again in every round.

#include "scan/match/pairing.hpp"

#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace scan {

class PerGap {
public:
    // cast(gap, votes): the votes of one gap, from its functions alone, in the gaps that
    // asks(gap) admits (by their size: a gap between pairs far apart in the new build holds
    // much of it, and is never kept).
    template <typename Asks, typename Cast>
    void addTo(const Pairing& pairing, Votes& votes, Asks asks, Cast cast) {
        std::map<Key, Votes> now;
        for (const Gap& gap : pairing.gaps()) {
            if (!asks(gap)) {
                continue;
            }
            Key key{gap.a, gap.b};
            Votes ofGap;
            if (const auto kept = last_.find(key); kept != last_.end()) {
                ofGap = std::move(kept->second);
            } else {
                cast(gap, ofGap);
            }
            votes.insert(votes.end(), ofGap.begin(), ofGap.end());
            now.emplace(std::move(key), std::move(ofGap));
        }
        last_ = std::move(now); // only this round's gaps: one that changed seldom returns as it was
    }

private:
    using Key = std::pair<std::vector<std::uint32_t>, std::vector<std::uint32_t>>;
    std::map<Key, Votes> last_;
};

} // namespace scan
