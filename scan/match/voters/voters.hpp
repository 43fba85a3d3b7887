#pragma once
// The kinds of evidence, a voter each, in the order the matcher asks them each round. A voter that
// reads the votes cast before it (the neighbours' voter reads all the others') is asked after
// them; the others read only the pairing, so that they may vote side by side.

#include "scan/match/pairing.hpp"

#include <memory>

namespace scan {

std::unique_ptr<Voter> codeVoter();
std::unique_ptr<Voter> dataVoter();
std::unique_ptr<Voter> callsVoter();
std::unique_ptr<Voter> neighboursVoter();
std::unique_ptr<Voter> similarVoter();
std::unique_ptr<Voter> orderVoter();
std::unique_ptr<Voter> importsVoter();
std::unique_ptr<Voter> callSetsVoter();
std::unique_ptr<Voter> constantsVoter();

struct VoterRow {
    Evidence kind;
    std::unique_ptr<Voter> (*make)();
    bool readsVotes = false;
};

inline constexpr VoterRow voterTable[] = {
    {Evidence::code, codeVoter},
    {Evidence::data, dataVoter},
    {Evidence::calls, callsVoter},
    {Evidence::similar, similarVoter},
    {Evidence::order, orderVoter},
    {Evidence::imports, importsVoter},
    {Evidence::callSets, callSetsVoter},
    {Evidence::constants, constantsVoter},
    {Evidence::neighbours, neighboursVoter, true}, // last: it reads the others' votes
};

} // namespace scan
