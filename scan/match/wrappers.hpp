#pragma once
// A function's entry a new build moved into a wrapper: the wrapper (a few instructions that lead
// to one function alone) is new, and the function it leads to holds the old body. Callers from
// outside the build (a modder's hook, an export's users) still enter by the wrapper, so the old
// function's partner is the wrapper, and the body it leads to is the new code.

#include "scan/match/pairing.hpp"

#include <cstdint>
#include <utility>
#include <vector>

namespace scan {

// Per function, the one function it leads to where it is at most `longest` instructions that lead
// to that one alone (a wrapper, or a bare jump), else unpaired.
std::vector<std::uint32_t> leadsOnTo(const BuildFunctions& build, std::uint32_t longest);

// Each pair (old, wrapper) to be made instead of the old function's pair with the wrapper's body:
// where the body grew and is no identical code, it has this one wrapper, unpaired and reached by
// nothing in the new build (no instruction, table or exception's data), and nothing in the old
// build wrapped the old function or was a wrapper like it.
std::vector<std::pair<std::uint32_t, std::uint32_t>> entriesMovedToWrappers(const Pairing& pairing);

} // namespace scan
