// Constants as a set: a function's strings and blocks in read-only data taken together, found
// once among the unpaired functions of each build, where no one of them tells it (that is the
// data's evidence: a constant only it uses among the unpaired).

#include "scan/match/voters/sets.hpp"
#include "scan/match/voters/voters.hpp"

#include <cstdint>
#include <unordered_map>
#include <vector>

namespace scan {

namespace {

class ConstantsVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        // Functions with a constant only they use among the unpaired of their build.
        std::vector<bool> toldByOne[2];
        for (int side = 0; side < 2; ++side) {
            const BuildFunctions& build = pairing.build(side);
            const std::vector<std::uint32_t>& ids = contentIds(side, build);
            std::vector<std::uint32_t> users(contents_[side], 0);
            for (std::size_t k = 0; k < build.data.size(); ++k) {
                users[ids[k]] += pairing.paired(side, build.data[k].function) ? 0 : 1;
            }
            toldByOne[side].assign(build.functions.size(), false);
            for (std::size_t k = 0; k < build.data.size(); ++k) {
                if (users[ids[k]] == 1) {
                    toldByOne[side][build.data[k].function] = true;
                }
            }
        }
        sets_.vote(
            pairing, pairing.policy().fewestConstants,
            [&](int side, std::size_t n) { return !toldByOne[side][n]; }, Evidence::constants,
            votes);
    }

private:
    // Each use's constant as a small number, found once: a round counts users in an array.
    const std::vector<std::uint32_t>& contentIds(int side, const BuildFunctions& build) {
        std::vector<std::uint32_t>& ids = ids_[side];
        if (ids.size() != build.data.size()) {
            std::unordered_map<std::uint64_t, std::uint32_t> idOf;
            ids.clear();
            for (const DataUse& use : build.data) {
                ids.push_back(idOf.emplace(use.content, static_cast<std::uint32_t>(idOf.size()))
                                  .first->second);
            }
            contents_[side] = idOf.size();
        }
        return ids;
    }

    UniqueSets sets_{&BuildFunctions::data};
    std::vector<std::uint32_t> ids_[2];
    std::size_t contents_[2] = {0, 0};
};

} // namespace

std::unique_ptr<Voter> constantsVoter() {
    return std::make_unique<ConstantsVoter>();
}

} // namespace scan
