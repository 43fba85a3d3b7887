#pragma once
// Which function of a new build is which function of the old one, for every function of both:
// pairs made by independent kinds of evidence, never by names (a game has none). A pair is made
// only where at least two kinds agree and none points elsewhere; a function that evidence leads
// to two places stays unpaired, since a wrong pair would send a modder's hook to the wrong code.

#include "scan/image/build_functions.hpp"
#include "scan/image/image.hpp"
#include "scan/match/policy.hpp"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace scan {

enum class Evidence : std::uint16_t {
    code = 1,        // the same instruction shapes, found once in each build
    data = 2,        // a constant it refers to, found used by it alone in each build
    calls = 4,       // aligned calls, jumps or code addresses in paired functions lead to it
    neighbours = 8,  // it lies where the other lies between two paired functions
    similar = 16,    // its code is clearly more like the other's than like any other's near it
    order = 32,      // unpaired between two pairs, in order, code alike (more so round one added)
    imports = 64,    // the set of imported functions it calls, found once among the unpaired
    callSets = 128,  // the partners of its paired callees: what the other alone calls
    constants = 256, // the set of constants it uses, found once among the unpaired
    wrapper = 512,   // a new wrapper of the body the other kinds paired it with: its entry now
};
using EvidenceSet = std::uint16_t;
inline constexpr Evidence everyEvidence[] = {
    Evidence::code,      Evidence::data,   Evidence::calls,   Evidence::neighbours,
    Evidence::similar,   Evidence::order,  Evidence::imports, Evidence::callSets,
    Evidence::constants, Evidence::wrapper};
// "code", "data", "calls", "neighbours", "similar", "order", "imports", "callees",
// "constants", "wrapper"; each kind in the set, in that order.
std::string evidenceText(Evidence evidence);
std::vector<std::string> evidenceTexts(EvidenceSet evidence);

struct FunctionPair {
    std::uint64_t oldRva = 0;
    std::uint64_t newRva = 0;
    bool same = false; // the same instruction shapes: only relocatable fields changed
    EvidenceSet evidence = 0;
};

// Why a function stayed unpaired: nothing spoke for any partner, only one kind did (the rule
// asks two), or the votes for it disagree (they point to two functions, or to one that another
// function's votes claim too).
enum class Unpaired : std::uint8_t { noEvidence, oneKind, conflicting };
// "no evidence", "one kind only", "conflicting votes".
std::string unpairedText(Unpaired why);

struct BuildMatch {
    std::size_t oldFunctions = 0;
    std::size_t newFunctions = 0;
    std::vector<FunctionPair> pairs;    // by ascending oldRva
    std::vector<std::uint64_t> removed; // the old build's unpaired functions, ascending
    std::vector<std::uint64_t> added;   // the new build's
    std::vector<Unpaired> removedWhy;   // for each of removed
    std::vector<Unpaired> addedWhy;     // for each of added
    std::size_t rounds = 0;             // of pairing, until nothing new paired
    // Both builds' functions as they were read and paired (null for a match of functions read
    // before, where the caller holds them).
    std::shared_ptr<const BuildFunctions> olderRead;
    std::shared_ptr<const BuildFunctions> newerRead;

    // The function the one starting at oldStart is paired with.
    std::optional<std::uint64_t> newFunctionOf(std::uint64_t oldStart) const;
    // The pair of the function starting at oldStart; null where it has none.
    const FunctionPair* pairOf(std::uint64_t oldStart) const;
    // The old function paired with the one starting at newStart.
    std::optional<std::uint64_t> oldFunctionOf(std::uint64_t newStart) const;
};

// Pairs the two builds' functions; reads both builds at once, each on a thread of its own.
BuildMatch matchBuilds(const ExecutableImage& older, const ExecutableImage& newer,
                       const Progress& progress = {}, const MatchPolicy& policy = matchPolicy);

// The same for both builds read before, which the match then holds.
BuildMatch matchRead(BothRead read, const Progress& progress = {},
                     const MatchPolicy& policy = matchPolicy);

// The same for functions read before, which the caller holds.
BuildMatch matchFunctions(const BuildFunctions& older, const BuildFunctions& newer,
                          const Progress& progress = {}, const MatchPolicy& policy = matchPolicy);

} // namespace scan
