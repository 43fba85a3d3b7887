// Imports: the imported functions (module and name) a function calls or takes the address of
// survive any recompile, and so does their set: the same set found once among the unpaired
// functions of each build.

#include "scan/match/voters/sets.hpp"
#include "scan/match/voters/unique_keys.hpp"
#include "scan/match/voters/voters.hpp"

namespace scan {

namespace {

class ImportsVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        if (sets_[0].key.empty()) {
            for (int side = 0; side < 2; ++side) {
                sets_[side] =
                    useSetsOf(pairing.build(side).imports, pairing.build(side).functions.size());
            }
        }
        voteByUniqueKeys(
            sets_[0].key.size(), sets_[1].key.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const auto index = static_cast<std::uint32_t>(n);
                if (sets_[side].size[n] == 0 || pairing.paired(side, index)) {
                    return std::nullopt;
                }
                return std::pair(sets_[side].key[n], index);
            },
            Evidence::imports, votes);
    }

private:
    UseSets sets_[2];
};

} // namespace

std::unique_ptr<Voter> importsVoter() {
    return std::make_unique<ImportsVoter>();
}

} // namespace scan
