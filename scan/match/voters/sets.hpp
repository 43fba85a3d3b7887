#pragma once
// A function's uses (constants, imports) taken together as one key: the hash of the set.

#include "scan/image/build_functions.hpp"
#include "scan/match/voters/unique_keys.hpp"

#include <cstdint>
#include <vector>

namespace scan {

// For each function of the build, the hash of the set of contents it uses and how many; uses
// ordered by function (as the reader leaves them).
struct UseSets {
    std::vector<std::uint64_t> key;
    std::vector<std::uint32_t> size;
};

inline UseSets useSetsOf(const std::vector<DataUse>& uses, std::size_t functions) {
    UseSets sets{std::vector<std::uint64_t>(functions, 0x9E3779B97F4A7C15),
                 std::vector<std::uint32_t>(functions, 0)};
    for (const DataUse& use : uses) {
        std::uint64_t& key = sets.key[use.function];
        key = (key ^ use.content) * 0x100000001B3;
        key ^= key >> 29;
        ++sets.size[use.function];
    }
    return sets;
}

// Each build's sets of one kind of use (BuildFunctions::data, ::imports), made on the first round;
// and votes for the sets found once among the unpaired functions of each build.
class UniqueSets {
public:
    explicit UniqueSets(std::vector<DataUse> BuildFunctions::*uses) : uses_(uses) {}

    // Only sets of at least `fewest` uses count, and of functions counts(side, n) lets count.
    template <typename Counts>
    void vote(const Pairing& pairing, std::size_t fewest, Counts counts, Evidence kind,
              Votes& votes) {
        if (sets_[0].key.empty()) {
            for (int side = 0; side < 2; ++side) {
                const BuildFunctions& build = pairing.build(side);
                sets_[side] = useSetsOf(build.*uses_, build.functions.size());
            }
        }
        voteByUniqueKeys(
            sets_[0].key.size(), sets_[1].key.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const auto index = static_cast<std::uint32_t>(n);
                if (sets_[side].size[n] < fewest || pairing.paired(side, index) ||
                    !counts(side, n)) {
                    return std::nullopt;
                }
                return std::pair(sets_[side].key[n], index);
            },
            kind, votes);
    }

private:
    std::vector<DataUse> BuildFunctions::*uses_;
    UseSets sets_[2];
};

} // namespace scan
