// Imports: the imported functions (module and name) a function calls or takes the address of
// survive any recompile, and so does their set: the same set found once among the unpaired
// functions of each build.

#include "scan/match/voters/sets.hpp"
#include "scan/match/voters/voters.hpp"

namespace scan {

namespace {

class ImportsVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        sets_.vote(
            pairing, 1, [](int, std::size_t) { return true; }, Evidence::imports, votes);
    }

private:
    UniqueSets sets_{&BuildFunctions::imports};
};

} // namespace

std::unique_ptr<Voter> importsVoter() {
    return std::make_unique<ImportsVoter>();
}

} // namespace scan
