#include "scan/match/match.hpp"

#include "scan/image/instructions.hpp"
#include "scan/match/pairing.hpp"
#include "scan/match/voters/voters.hpp"
#include "scan/match/wrappers.hpp"

#include <algorithm>
#include <bit>
#include <memory>
#include <utility>

namespace scan {

namespace {

class Matcher {
public:
    Matcher(const BuildFunctions& older, const BuildFunctions& newer, const MatchPolicy& policy)
        : pairing_(older, newer, policy), kinds_(older.functions.size(), 0),
          pairedBy_(older.functions.size(), 0), newKinds_(newer.functions.size(), 0),
          toOf_(older.functions.size(), unpaired), fromOf_(newer.functions.size(), unpaired),
          targets_(older.functions.size()), leadsOn_(leadsOnTo(newer, policy.longestWrapper)) {
        for (const VoterRow& row : voterTable) {
            if ((policy.kinds & static_cast<EvidenceSet>(row.kind)) != 0) {
                voters_.push_back(row.make());
                readsVotes_.push_back(row.readsVotes);
            }
        }
    }

    BuildMatch run(const Progress& progress) {
        const std::size_t mostRounds = pairing_.policy().mostRounds;
        std::size_t round = 0;
        // Pairs are made, round after round, where the evidence agrees; each new pair brings
        // evidence of its own (its calls, its neighbours), so that pairs spread from the code and
        // data the builds share to the functions round them.
        while (round < mostRounds) {
            ++round;
            if (progress) {
                progress("pairing functions", round, mostRounds);
            }
            if (!settle(true)) {
                break;
            }
        }
        // Then evidence that came later and points elsewhere undoes a pair, and what it brought
        // goes with it, until every pair left has two kinds of evidence and none against it.
        while (round < 2 * mostRounds && settle(false)) {
            ++round;
        }
        // Last, an old function whose body now lies behind a new wrapper takes the wrapper:
        // only the pairs left standing are read for it, and it changes none of their evidence.
        if ((pairing_.policy().kinds & static_cast<EvidenceSet>(Evidence::wrapper)) != 0) {
            for (const auto& [from, wrapper] : entriesMovedToWrappers(pairing_)) {
                pairing_.undo(from);
                pairing_.pair(from, wrapper);
                pairedBy_[from] |= static_cast<EvidenceSet>(Evidence::wrapper);
            }
        }
        if (progress) {
            progress("pairing functions", mostRounds, mostRounds);
        }
        return result(round);
    }

private:
    // The votes of every kind as the pairing stands: growing, each old function that every vote
    // for it leads to one unpaired new function, which every vote for it comes from, by enough
    // kinds, pairs with it; else each pair that no longer has that undoes. False when nothing
    // changed.
    bool settle(bool growing) {
        // The tally below is the same in any order of the votes.
        const Votes& votes = castVotes();
        const std::size_t oldCount = pairing_.older().functions.size();
        std::vector<std::uint32_t>& toOf = toOf_;
        std::vector<std::uint32_t>& fromOf = fromOf_;
        std::fill(toOf.begin(), toOf.end(), unpaired);
        std::fill(fromOf.begin(), fromOf.end(), unpaired);
        std::fill(kinds_.begin(), kinds_.end(), 0);
        std::fill(newKinds_.begin(), newKinds_.end(), 0);
        std::fill(targets_.begin(), targets_.end(), Targets{});
        for (const Vote& each : votes) {
            const Vote vote{each.from, samePlace(each.from, each.to), each.kind};
            std::uint32_t& to = toOf[vote.from];
            to = to == unpaired || to == vote.to ? vote.to : several;
            std::uint32_t& from = fromOf[vote.to];
            from = from == unpaired || from == vote.from ? vote.from : several;
            kinds_[vote.from] |= static_cast<EvidenceSet>(vote.kind);
            newKinds_[vote.to] |= static_cast<EvidenceSet>(vote.kind);
            targets_[vote.from].note(vote.to, vote.kind);
        }
        for (std::uint32_t from = 0; from < oldCount; ++from) {
            if (toOf[from] == several) {
                throughJump(from);
            }
        }
        const MatchPolicy& policy = pairing_.policy();
        const auto agreed = [&](std::uint32_t from, std::uint32_t to) {
            return toOf[from] == to && fromOf[to] == from &&
                   std::popcount(kinds_[from]) >= policy.kindsToPair;
        };
        // Evidence against a pair: a vote for either side that points elsewhere.
        const auto contested = [&](std::uint32_t from, std::uint32_t to) {
            return (toOf[from] != unpaired && toOf[from] != to) ||
                   (fromOf[to] != unpaired && fromOf[to] != from);
        };
        bool changed = false;
        for (std::uint32_t from = 0; from < oldCount; ++from) {
            const std::uint32_t to = growing ? toOf[from] : pairing_.newOf(from);
            if (growing && pairing_.newOf(from) == unpaired && to < several &&
                pairing_.oldOf(to) == unpaired && agreed(from, to)) {
                pairing_.pair(from, to);
                pairedBy_[from] = kinds_[from];
                changed = true;
            } else if (!growing && to != unpaired && contested(from, to)) {
                pairing_.undo(from);
                changed = true;
            }
        }
        return changed;
    }

    // Every voter's votes in the table's order. Those that read only the pairing vote side by
    // side, each into a list of its own; one that reads the votes cast before it, after them.
    // The lists are kept from round to round: a large build casts millions of votes a round,
    // and memory taken afresh each round is memory the system must clear again.
    const Votes& castVotes() {
        pairing_.gaps(); // found before the voters read them side by side
        cast_.resize(voters_.size());
        eachSideBySide(voters_.size(), [&](std::size_t k) {
            cast_[k].clear();
            if (!readsVotes_[k]) {
                voters_[k]->vote(pairing_, cast_[k]);
            }
        });
        votes_.clear();
        for (std::size_t k = 0; k < voters_.size(); ++k) {
            if (readsVotes_[k]) {
                voters_[k]->vote(pairing_, votes_);
            } else {
                votes_.insert(votes_.end(), cast_[k].begin(), cast_[k].end());
            }
        }
        return votes_;
    }

    BuildMatch result(std::size_t rounds) const {
        const BuildFunctions& older = pairing_.older();
        const BuildFunctions& newer = pairing_.newer();
        BuildMatch match;
        match.oldFunctions = older.functions.size();
        match.newFunctions = newer.functions.size();
        match.rounds = rounds;
        for (std::uint32_t from = 0; from < older.functions.size(); ++from) {
            const BuildFunction& a = older.functions[from];
            const std::uint32_t to = pairing_.newOf(from);
            if (to == unpaired) {
                match.removed.push_back(a.begin);
                match.removedWhy.push_back(why(kinds_[from], toOf_[from]));
                continue;
            }
            const BuildFunction& b = newer.functions[to];
            // What paired it, and what speaks for it once every pair is made.
            match.pairs.push_back({a.begin, b.begin, a.shape == b.shape,
                                   static_cast<EvidenceSet>(pairedBy_[from] | kinds_[from])});
        }
        for (std::uint32_t to = 0; to < newer.functions.size(); ++to) {
            if (pairing_.oldOf(to) == unpaired) {
                match.added.push_back(newer.functions[to].begin);
                match.addedWhy.push_back(why(newKinds_[to], fromOf_[to]));
            }
        }
        return match;
    }

    // Why a function the last round's votes (its kinds, the one partner they agree on or
    // several) left unpaired.
    static Unpaired why(EvidenceSet kinds, std::uint32_t partner) {
        if (kinds == 0) {
            return Unpaired::noEvidence;
        }
        return partner != several && std::popcount(kinds) == 1 ? Unpaired::oneKind
                                                               : Unpaired::conflicting;
    }

    static constexpr std::uint32_t several = unpaired - 1;

    // The first two new functions the votes for an old one lead to, with the kinds of each;
    // `second` is several for three or more.
    struct Targets {
        std::uint32_t first = unpaired;
        std::uint32_t second = unpaired;
        EvidenceSet firstKinds = 0;
        EvidenceSet secondKinds = 0;

        void note(std::uint32_t to, Evidence kind) {
            if (first == unpaired || first == to) {
                first = to;
                firstKinds |= static_cast<EvidenceSet>(kind);
            } else if (second == unpaired || second == to) {
                second = to;
                secondKinds |= static_cast<EvidenceSet>(kind);
            } else {
                second = several;
            }
        }
    };

    // The new function leads on to the other alone, and is the shorter: a wrapper of it, or a
    // bare jump to it.
    bool wraps(std::uint32_t wrapper, std::uint32_t body) const {
        const std::vector<BuildFunction>& functions = pairing_.newer().functions;
        return leadsOn_[wrapper] == body && functions[wrapper].steps < functions[body].steps;
    }

    // A new wrapper and the body it leads to are one place: the callers now enter by the
    // wrapper, and the code lies behind it. A vote for the body behind a paired old function's
    // partner, or for a bare jump in front of it, is a vote for the partner; a vote for a wrapper
    // in front of it says the entry moved, and stands against the pair.
    std::uint32_t samePlace(std::uint32_t from, std::uint32_t to) const {
        const std::uint32_t partner = pairing_.newOf(from);
        if (partner == unpaired || partner == to) {
            return to;
        }
        const bool bodyBehind = wraps(partner, to);
        const bool jumpInFront = wraps(to, partner) && pairing_.newer().functions[to].steps < 2;
        return bodyBehind || jumpInFront ? partner : to;
    }

    // An old function's votes for a bare jump (the linker's, which stands for the function it
    // jumps to) and for that function: they lead to the function, by the kinds of the votes for
    // it alone; the jump's votes neither count for it nor stand against it. Votes for a wrapper
    // and for its body stay two places until one of them is paired: a wrapper is code of its
    // own, and in a large build many a short function leads on to one other.
    void throughJump(std::uint32_t from) {
        const Targets& targets = targets_[from];
        const auto take = [&](std::uint32_t jump, std::uint32_t body, EvidenceSet kinds) {
            if (pairing_.newer().functions[jump].steps > 1 || !wraps(jump, body)) {
                return false;
            }
            toOf_[from] = body;
            kinds_[from] = kinds;
            return true;
        };
        if (targets.second < several) {
            take(targets.first, targets.second, targets.secondKinds) ||
                take(targets.second, targets.first, targets.firstKinds);
        }
    }

    Pairing pairing_;
    std::vector<std::unique_ptr<Voter>> voters_;
    std::vector<bool> readsVotes_;      // per voter
    std::vector<EvidenceSet> kinds_;    // per old function, of the votes for it in the last round
    std::vector<EvidenceSet> pairedBy_; // per old function, the kinds that paired it
    std::vector<EvidenceSet> newKinds_; // per new function, of the votes for it
    // Of the last round: per old function the new one every vote for it leads to (unpaired for
    // none, several for more), per new function the old one.
    std::vector<std::uint32_t> toOf_;
    std::vector<std::uint32_t> fromOf_;
    std::vector<Votes> cast_;            // per voter, of the last round
    Votes votes_;                        // of every voter, of the last round
    std::vector<Targets> targets_;       // per old function, of the last round
    std::vector<std::uint32_t> leadsOn_; // per new function, the one it leads to (leadsOnTo)
};

} // namespace

std::string evidenceText(Evidence evidence) {
    switch (evidence) {
    case Evidence::code:
        return "code";
    case Evidence::data:
        return "data";
    case Evidence::calls:
        return "calls";
    case Evidence::neighbours:
        return "neighbours";
    case Evidence::similar:
        return "similar";
    case Evidence::order:
        return "order";
    case Evidence::imports:
        return "imports";
    case Evidence::callSets:
        return "callees";
    case Evidence::constants:
        return "constants";
    case Evidence::wrapper:
        return "wrapper";
    }
    return "";
}

std::string unpairedText(Unpaired why) {
    switch (why) {
    case Unpaired::noEvidence:
        return "no evidence";
    case Unpaired::oneKind:
        return "one kind only";
    case Unpaired::conflicting:
        return "conflicting votes";
    }
    return "";
}

std::vector<std::string> evidenceTexts(EvidenceSet evidence) {
    std::vector<std::string> texts;
    for (const Evidence kind : everyEvidence) {
        if ((evidence & static_cast<EvidenceSet>(kind)) != 0) {
            texts.push_back(evidenceText(kind));
        }
    }
    return texts;
}

const FunctionPair* BuildMatch::pairOf(std::uint64_t oldStart) const {
    const auto found = std::lower_bound(
        pairs.begin(), pairs.end(), oldStart,
        [](const FunctionPair& pair, std::uint64_t at) { return pair.oldRva < at; });
    return found != pairs.end() && found->oldRva == oldStart ? &*found : nullptr;
}

std::optional<std::uint64_t> BuildMatch::newFunctionOf(std::uint64_t oldStart) const {
    const FunctionPair* pair = pairOf(oldStart);
    return pair != nullptr ? std::optional(pair->newRva) : std::nullopt;
}

std::optional<std::uint64_t> BuildMatch::oldFunctionOf(std::uint64_t newStart) const {
    const auto found = std::find_if(pairs.begin(), pairs.end(), [&](const FunctionPair& pair) {
        return pair.newRva == newStart;
    });
    return found != pairs.end() ? std::optional(found->oldRva) : std::nullopt;
}

BuildMatch matchFunctions(const BuildFunctions& older, const BuildFunctions& newer,
                          const Progress& progress, const MatchPolicy& policy) {
    return Matcher(older, newer, policy).run(progress);
}

BuildMatch matchBuilds(const ExecutableImage& older, const ExecutableImage& newer,
                       const Progress& progress, const MatchPolicy& policy) {
    return matchRead(readBoth(older, newer, progress, policy.reading), progress, policy);
}

BuildMatch matchRead(BothRead read, const Progress& progress, const MatchPolicy& policy) {
    BuildMatch match = matchFunctions(*read.older, *read.newer, progress, policy);
    match.olderRead = std::move(read.older);
    match.newerRead = std::move(read.newer);
    return match;
}

} // namespace scan
