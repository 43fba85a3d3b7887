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

struct VoterRow {
    Evidence kind;
    std::unique_ptr<Voter> (*make)();
};

inline constexpr VoterRow voterTable[] = {
    {Evidence::code, codeVoter},
    {Evidence::data, dataVoter},
    {Evidence::calls, callsVoter},
    {Evidence::neighbours, neighboursVoter}, // last: it reads the others' votes
};

} // namespace scan
