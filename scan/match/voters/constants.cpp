// Constants as a set: a function's strings and blocks in read-only data taken together, found
// once among the unpaired functions of each build, where no one of them tells it (that is the
// data's evidence: a constant only it uses among the unpaired).

#include "scan/match/voters/sets.hpp"
#include "scan/match/voters/voters.hpp"

#include <unordered_map>

namespace scan {

namespace {

class ConstantsVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        // Functions with a constant only they use among the unpaired of their build.
        std::vector<bool> toldByOne[2];
        for (int side = 0; side < 2; ++side) {
            const BuildFunctions& build = pairing.build(side);
            std::unordered_map<std::uint64_t, std::uint32_t> users;
            for (const DataUse& use : build.data) {
                users[use.content] += pairing.paired(side, use.function) ? 0 : 1;
            }
            toldByOne[side].assign(build.functions.size(), false);
            for (const DataUse& use : build.data) {
                if (users[use.content] == 1) {
                    toldByOne[side][use.function] = true;
                }
            }
        }
        sets_.vote(
            pairing, pairing.policy().fewestConstants,
            [&](int side, std::size_t n) { return !toldByOne[side][n]; }, Evidence::constants,
            votes);
    }

private:
    UniqueSets sets_{&BuildFunctions::data};
};

} // namespace

std::unique_ptr<Voter> constantsVoter() {
    return std::make_unique<ConstantsVoter>();
}

} // namespace scan
