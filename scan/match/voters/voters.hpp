#pragma once
// The kinds of evidence, a voter each, in the order the matcher asks them each round: a voter
// may read the votes cast before it (the neighbours' voter reads all the others').

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
    {Evidence::neighbours, neighboursVoter}, // last: it reads the others' votes
};

} // namespace scan
