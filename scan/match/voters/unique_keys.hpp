#pragma once
// Keys (shapes, constants, sets) that each build holds once, as votes: the one old holder is the
// one new. Shared by the voters whose evidence is "found once in each build".

#include "scan/match/pairing.hpp"

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <utility>

namespace scan {

// keyOf(side, n): the n-th item's key and the function holding it, or nothing.
template <typename KeyOf>
void voteByUniqueKeys(std::size_t oldCount, std::size_t newCount, KeyOf keyOf, Evidence kind,
                      Votes& votes) {
    struct Holders {
        std::uint32_t count[2] = {0, 0};
        std::uint32_t holder[2] = {unpaired, unpaired};
    };
    std::unordered_map<std::uint64_t, Holders> holders;
    for (int side = 0; side < 2; ++side) {
        const std::size_t count = side == 0 ? oldCount : newCount;
        for (std::size_t n = 0; n < count; ++n) {
            const std::optional<std::pair<std::uint64_t, std::uint32_t>> key = keyOf(side, n);
            if (!key) {
                continue;
            }
            Holders& each = holders[key->first];
            ++each.count[side];
            each.holder[side] = key->second;
        }
    }
    for (const auto& [key, each] : holders) {
        if (each.count[0] == 1 && each.count[1] == 1) {
            votes.push_back({each.holder[0], each.holder[1], kind});
        }
    }
}

// Votes that hold before any pair is made and stay (what each build holds once): cast in the first
// round, added in every round.
class Lasting {
public:
    template <typename Cast> void addTo(Votes& votes, Cast cast) {
        if (!votes_) {
            votes_.emplace();
            cast(*votes_);
        }
        votes.insert(votes.end(), votes_->begin(), votes_->end());
    }

private:
    std::optional<Votes> votes_;
};

} // namespace scan
