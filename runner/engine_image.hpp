#pragma once
// The runner's engine globals. Its image carries, in code, the three instructions a game
// executable carries that refer to them, so the plug-in's locator finds them for real.

#include <cstdint>

namespace runner {

struct EngineGlobals {
    const std::uint64_t* global1; // holds the address of the runner's engine object
    const std::uint64_t* global2;
    const std::uint64_t* global3;
};

// Where the globals lie.
EngineGlobals engineGlobals();

// Gives the first global its value, as a game does when its engine starts.
void startEngine();

// Changes the instruction that refers to global 1, 2 or 3 (its REX prefix), as a game update may:
// the plug-in's pattern for it no longer matches.
void changeInstruction(int global);

} // namespace runner
