// The same constant: one in read-only data that one function alone uses in each build, or one
// function alone among the unpaired.

#include "scan/match/voters/unique_keys.hpp"
#include "scan/match/voters/voters.hpp"

namespace scan {

namespace {

class DataVoter final : public Voter {
public:
    void vote(const Pairing& pairing, Votes& votes) override {
        lasting_.addTo(votes, [&](Votes& kept) { unique(pairing, false, kept); });
        unique(pairing, true, votes);
    }

private:
    // A constant's users: a function that refers to it is one holder, whatever the count.
    static void unique(const Pairing& pairing, bool unpairedOnly, Votes& votes) {
        voteByUniqueKeys(
            pairing.older().data.size(), pairing.newer().data.size(),
            [&](int side, std::size_t n) -> std::optional<std::pair<std::uint64_t, std::uint32_t>> {
                const DataUse& use = pairing.build(side).data[n];
                if (unpairedOnly && pairing.paired(side, use.function)) {
                    return std::nullopt;
                }
                return std::pair(use.content, use.function);
            },
            Evidence::data, votes);
    }

    Lasting lasting_;
};

} // namespace

std::unique_ptr<Voter> dataVoter() {
    return std::make_unique<DataVoter>();
}

} // namespace scan
