#pragma once
// The pairing as it stands, as every kind of evidence sees it: both builds' functions, which are
// paired with which, and the gaps between consecutive pairs. Only the matcher changes it; the
// voters read it and cast votes.

#include "scan/image/build_functions.hpp"
#include "scan/match/longest_alignment.hpp"
#include "scan/match/match.hpp"
#include "scan/match/policy.hpp"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scan {

inline constexpr std::uint32_t unpaired = UINT32_MAX;

// One piece of evidence that the old function `from` is the new function `to`.
struct Vote {
    std::uint32_t from;
    std::uint32_t to;
    Evidence kind;
};
using Votes = std::vector<Vote>;

// The unpaired functions between two consecutive pairs of the old build (a) and those between
// the same two pairs of the new build (b), by index, in order; and their longest alignment by
// identity (what the same code is compared by). Whether every longest alignment makes a pair is
// known only where more than one function of a side holds that code: code found once on each
// side tells its pair by itself.
struct Gap {
    std::vector<std::uint32_t> a;
    std::vector<std::uint32_t> b;
    std::vector<AlignedPair> same;
};

class Pairing {
public:
    Pairing(const BuildFunctions& older, const BuildFunctions& newer, const MatchPolicy& policy);

    const BuildFunctions& older() const { return old_; }
    const BuildFunctions& newer() const { return new_; }
    // Side 0 is the old build, side 1 the new.
    const BuildFunctions& build(int side) const { return side == 0 ? old_ : new_; }
    const MatchPolicy& policy() const { return policy_; }

    std::uint32_t newOf(std::uint32_t from) const { return newOf_[from]; }
    std::uint32_t oldOf(std::uint32_t to) const { return oldOf_[to]; }
    // The partner of the side's n-th function, or unpaired.
    std::uint32_t partnerOf(int side, std::uint32_t n) const {
        return side == 0 ? newOf_[n] : oldOf_[n];
    }
    bool paired(int side, std::uint32_t n) const { return partnerOf(side, n) != unpaired; }

    // What the same code is compared by: its shape; for short code, its bytes, the offsets and
    // constants that tell one getter from another kept.
    std::uint64_t identityOf(const BuildFunction& function) const {
        return function.steps < policy_.shortestTold ? function.bytes : function.shape;
    }
    // Alike in size, by the policy's ratio.
    bool alikeInSize(std::uint32_t x, std::uint32_t y) const;

    // The gaps between consecutive pairs in the old build's order where both builds hold
    // functions between them, at most the policy's cells of candidate pairs; found again after
    // each change, a gap's alignment only where its functions changed.
    const std::vector<Gap>& gaps() const;

    // Only the matcher pairs and undoes.
    void pair(std::uint32_t from, std::uint32_t to);
    void undo(std::uint32_t from);

private:
    std::vector<AlignedPair> alignByIdentity(const Gap& gap) const;

    const BuildFunctions& old_;
    const BuildFunctions& new_;
    const MatchPolicy& policy_;
    std::vector<std::uint32_t> newOf_;
    std::vector<std::uint32_t> oldOf_;
    mutable std::vector<Gap> gaps_;
    mutable bool gapsFound_ = false; // false once a pair changed
};

// A kind of evidence: from the pairing as it stands, its votes, added to those cast before it
// this round (which it may read).
class Voter {
public:
    virtual ~Voter() = default;
    virtual void vote(const Pairing& pairing, Votes& votes) = 0;
};

} // namespace scan
