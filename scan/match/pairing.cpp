#include "scan/match/pairing.hpp"

#include <algorithm>

namespace scan {

Pairing::Pairing(const BuildFunctions& older, const BuildFunctions& newer,
                 const MatchPolicy& policy)
    : old_(older), new_(newer), policy_(policy), newOf_(older.functions.size(), unpaired),
      oldOf_(newer.functions.size(), unpaired) {}

bool Pairing::alikeInSize(std::uint32_t x, std::uint32_t y) const {
    return std::uint64_t{std::min(x, y)} * policy_.sizeRatio >= std::max(x, y);
}

void Pairing::pair(std::uint32_t from, std::uint32_t to) {
    newOf_[from] = to;
    oldOf_[to] = from;
    gaps_.reset();
}

void Pairing::undo(std::uint32_t from) {
    oldOf_[newOf_[from]] = unpaired;
    newOf_[from] = unpaired;
    gaps_.reset();
}

const std::vector<Gap>& Pairing::gaps() const {
    if (gaps_) {
        return *gaps_;
    }
    gaps_ = std::make_unique<std::vector<Gap>>();
    std::uint32_t previous = unpaired;
    for (std::uint32_t from = 0; from < newOf_.size(); ++from) {
        if (newOf_[from] == unpaired) {
            continue;
        }
        if (previous != unpaired && from - previous > 1 && newOf_[from] > newOf_[previous] + 1) {
            Gap gap;
            for (std::uint32_t k = previous + 1; k < from; ++k) {
                gap.a.push_back(k);
            }
            for (std::uint32_t k = newOf_[previous] + 1; k < newOf_[from]; ++k) {
                if (oldOf_[k] == unpaired) {
                    gap.b.push_back(k);
                }
            }
            if (!gap.a.empty() && !gap.b.empty() &&
                gap.a.size() * gap.b.size() <= policy_.mostCells) {
                gap.same =
                    longestAlignment(gap.a.size(), gap.b.size(), [&](std::size_t i, std::size_t j) {
                        return identityOf(old_.functions[gap.a[i]]) ==
                               identityOf(new_.functions[gap.b[j]]);
                    });
            }
            gaps_->push_back(std::move(gap));
        }
        previous = from;
    }
    return *gaps_;
}

} // namespace scan
