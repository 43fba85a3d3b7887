#include "scan/match/pairing.hpp"

#include "scan/image/instructions.hpp"

#include <algorithm>
#include <unordered_map>

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
    gapsFound_ = false;
}

void Pairing::undo(std::uint32_t from) {
    oldOf_[newOf_[from]] = unpaired;
    newOf_[from] = unpaired;
    gapsFound_ = false;
}

std::vector<AlignedPair> Pairing::alignByIdentity(const Gap& gap) const {
    std::vector<std::uint64_t> a(gap.a.size());
    std::vector<std::uint64_t> b(gap.b.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        a[i] = identityOf(old_.functions[gap.a[i]]);
    }
    for (std::size_t j = 0; j < b.size(); ++j) {
        b[j] = identityOf(new_.functions[gap.b[j]]);
    }
    // How many functions of each side hold each code the shorter side holds: only that code can
    // be aligned.
    const bool aShorter = a.size() <= b.size();
    ElementIds<std::uint64_t> ids;
    for (const std::uint64_t identity : aShorter ? a : b) {
        ids.add(identity);
    }
    std::vector<std::uint32_t> countA(ids.size(), 0);
    std::vector<std::uint32_t> countB(ids.size(), 0);
    std::vector<std::uint32_t> idOfA(a.size(), 0);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (const std::optional<std::uint32_t> id = ids.find(a[i])) {
            idOfA[i] = *id;
            ++countA[*id];
        }
    }
    for (const std::uint64_t identity : b) {
        if (const std::optional<std::uint32_t> id = ids.find(identity)) {
            ++countB[*id];
        }
    }
    return longestAlignment(
        a.size(), b.size(), [&](std::size_t i) { return a[i]; },
        [&](std::size_t j) { return b[j]; },
        [&](std::size_t i, std::size_t) { return countA[idOfA[i]] > 1 || countB[idOfA[i]] > 1; });
}

const std::vector<Gap>& Pairing::gaps() const {
    if (gapsFound_) {
        return gaps_;
    }
    // From round to round most gaps keep their functions: their alignment is kept with them.
    std::vector<Gap> before = std::move(gaps_);
    std::unordered_map<std::uint32_t, std::size_t> beforeAt; // by the gap's first old function
    for (std::size_t n = 0; n < before.size(); ++n) {
        beforeAt.emplace(before[n].a.front(), n);
    }
    gaps_.clear();
    // The new build's unpaired functions, and how many lie before each function: a gap's
    // functions on that side without a walk over those paired in between, which may be most of
    // the build where the order of the pairs changed.
    std::vector<std::uint32_t> unpairedNew;
    std::vector<std::uint32_t> unpairedBefore(oldOf_.size() + 1, 0);
    for (std::uint32_t k = 0; k < oldOf_.size(); ++k) {
        unpairedBefore[k + 1] = unpairedBefore[k];
        if (oldOf_[k] == unpaired) {
            unpairedNew.push_back(k);
            ++unpairedBefore[k + 1];
        }
    }
    std::vector<std::size_t> toAlign;
    std::uint32_t previous = unpaired;
    for (std::uint32_t from = 0; from < newOf_.size(); ++from) {
        if (newOf_[from] == unpaired) {
            continue;
        }
        // A gap of more candidate pairs than one table holds has no alignment, and no kind of
        // evidence weighs it.
        const auto weighed = [&] {
            const std::size_t across =
                unpairedBefore[newOf_[from]] - unpairedBefore[newOf_[previous] + 1];
            return across > 0 && (from - previous - 1) * across <= policy_.mostCells;
        };
        if (previous != unpaired && from - previous > 1 && newOf_[from] > newOf_[previous] + 1 &&
            weighed()) {
            Gap gap;
            for (std::uint32_t k = previous + 1; k < from; ++k) {
                gap.a.push_back(k);
            }
            gap.b.assign(unpairedNew.begin() + unpairedBefore[newOf_[previous] + 1],
                         unpairedNew.begin() + unpairedBefore[newOf_[from]]);
            const auto kept = gap.a.empty() ? beforeAt.end() : beforeAt.find(gap.a.front());
            if (kept != beforeAt.end() && before[kept->second].a == gap.a &&
                before[kept->second].b == gap.b) {
                gap.same = std::move(before[kept->second].same);
            } else {
                toAlign.push_back(gaps_.size());
            }
            gaps_.push_back(std::move(gap));
        }
        previous = from;
    }
    // The gaps that changed are aligned two at a time: in the first rounds, nearly all of them.
    eachSideBySide(toAlign.size(), [&](std::size_t k) {
        gaps_[toAlign[k]].same = alignByIdentity(gaps_[toAlign[k]]);
    });
    gapsFound_ = true;
    return gaps_;
}

} // namespace scan
