#pragma once
// What changed in one function between two builds: its pair and evidence, and both builds'
// instructions aligned, one line each, as a unified diff of disassembly reads.

#include "scan/changes/counterparts.hpp"
#include "scan/error.hpp"
#include "scan/image/instruction_change.hpp"
#include "scan/match/match.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace scan {

struct DiffLine {
    enum class Change {
        same,    // the same bytes, or only relative fields that lead to counterparts
        fields,  // the same shape, but a displacement or immediate differs, or a target leads
                 // where the old one's counterpart is not
        added,   // only in the new build
        removed, // only in the old build
    };
    std::optional<InstructionText> older;
    std::optional<InstructionText> newer;
    Change change = Change::same;
    std::vector<FieldValue> fields;   // the displacements and immediates that differ
    std::vector<TargetValue> targets; // where its relative field leads, on both sides
};
// "same", "fields", "added", "removed".
std::string changeText(DiffLine::Change change);

struct FunctionDiff {
    // The functions' starts; one is empty where the function asked has no pair.
    std::optional<std::uint64_t> oldRva;
    std::optional<std::uint64_t> newRva;
    std::optional<FunctionPair> pair;
    std::optional<Unpaired> why;          // where it has none
    std::vector<DiffLine> lines;          // in the order of both functions' instructions
    std::size_t counts[4] = {0, 0, 0, 0}; // of lines, by Change
};

// The function of the old build (of the new one, with inNewer) whose instructions hold rva,
// against its pair; a badArgument error where no function of that build holds it.
Outcome<FunctionDiff> diffFunction(Counterparts& counterparts, std::uint64_t rva, bool inNewer);

} // namespace scan
