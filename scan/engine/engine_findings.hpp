#pragma once
// What the plug-in's three engine patterns find in a laid-out game executable, judged as the
// plug-in judges its first match.

#include "scan/engine/engine_entry.hpp"
#include "scan/image/image.hpp"

#include <cstdint>
#include <string>
#include <vector>

namespace scan {

struct PatternFinding {
    int pattern = 0;           // 1, 2 or 3
    bool matched = false;      // the pattern occurs
    bool found = false;        // the plug-in would fill its slot from the first occurrence
    std::uint64_t matches = 0; // places it matches: more than one is ambiguous
    std::vector<std::uint64_t> matchRvas; // the lowest, ascending, at most listedMatches
    std::uint64_t matchRva = 0;
    GlobalPlace global; // where the first match leads
};

// Each engine pattern in slot order, found with the plug-in's own scan (every match, in one pass)
// and judged as the plug-in judges its first match: the first global, whose value the plug-in
// reads, must lie inside the image.
std::vector<PatternFinding> findEngineGlobals(const ExecutableImage& image);

} // namespace scan
