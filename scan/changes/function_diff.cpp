#include "scan/changes/function_diff.hpp"

#include "scan/hex.hpp"

#include <algorithm>
#include <cstring>

namespace scan {

namespace {

struct Decoded {
    InstructionText shown;
    std::optional<Instruction> instruction;
};

Decoded decodedAt(const ExecutableImage& image, std::uint64_t rva) {
    std::optional<Instruction> instruction = instructionAt(image, rva);
    if (!instruction) {
        return {{rva, "(no instruction)", {}}, std::nullopt};
    }
    return {instructionText(image, rva, *instruction), std::move(instruction)};
}

// Two instructions of one shape on one line: the same, or which of their fields differ.
DiffLine alignedLine(Counterparts& counterparts, Decoded older, Decoded newer) {
    DiffLine line;
    line.older = std::move(older.shown);
    line.newer = std::move(newer.shown);
    if (!older.instruction || !newer.instruction) {
        line.change = DiffLine::Change::fields;
        return line;
    }
    const Instruction& a = *older.instruction;
    const Instruction& b = *newer.instruction;
    if (a.target && b.target) {
        line.targets.push_back(counterparts.target(*a.target - counterparts.older.imageBase,
                                                   *b.target - counterparts.newer.imageBase));
    }
    line.fields = fieldValues(a, b);
    const bool elsewhere =
        std::any_of(line.targets.begin(), line.targets.end(),
                    [](const TargetValue& each) { return each.leadsElsewhere(); });
    line.change =
        line.fields.empty() && !elsewhere ? DiffLine::Change::same : DiffLine::Change::fields;
    return line;
}

} // namespace

std::string changeText(DiffLine::Change change) {
    switch (change) {
    case DiffLine::Change::same:
        return "same";
    case DiffLine::Change::fields:
        return "fields";
    case DiffLine::Change::added:
        return "added";
    case DiffLine::Change::removed:
        return "removed";
    }
    return "";
}

Outcome<FunctionDiff> diffFunction(Counterparts& counterparts, std::uint64_t rva, bool inNewer) {
    const BuildFunctions& olderRead = counterparts.olderRead;
    const BuildFunctions& newerRead = counterparts.newerRead;
    const BuildMatch& match = counterparts.match;
    const std::optional<std::uint32_t> asked =
        inNewer ? counterparts.newFunctionHolding(rva) : counterparts.oldFunctionHolding(rva);
    if (!asked) {
        return Error{Error::Kind::badArgument,
                     std::string(inNewer ? "--function-new" : "--function") + ": RVA " + hex(rva) +
                         " lies in no function of the " + (inNewer ? "new" : "old") + " build"};
    }
    FunctionDiff diff;
    const std::uint64_t start = (inNewer ? newerRead : olderRead).functions[*asked].begin;
    (inNewer ? diff.newRva : diff.oldRva) = start;
    const std::vector<std::uint64_t>& unpaired = inNewer ? match.added : match.removed;
    const std::vector<Unpaired>& why = inNewer ? match.addedWhy : match.removedWhy;
    const std::optional<std::uint64_t> partner =
        inNewer ? match.oldFunctionOf(start) : match.newFunctionOf(start);
    if (!partner) {
        const auto found = std::lower_bound(unpaired.begin(), unpaired.end(), start);
        if (found != unpaired.end() && *found == start &&
            static_cast<std::size_t>(found - unpaired.begin()) < why.size()) {
            diff.why = why[static_cast<std::size_t>(found - unpaired.begin())];
        }
        return diff;
    }
    (inNewer ? diff.oldRva : diff.newRva) = partner;
    diff.pair = *match.pairOf(*diff.oldRva);
    const std::optional<std::uint32_t> oldIndex = olderRead.startingAt(*diff.oldRva);
    const std::optional<std::uint32_t> newIndex = newerRead.startingAt(*diff.newRva);
    if (!oldIndex || !newIndex) {
        return diff;
    }
    const BuildFunction& a = olderRead.functions[*oldIndex];
    const BuildFunction& b = newerRead.functions[*newIndex];
    const std::vector<std::uint32_t> oldRvas = olderRead.rvasOf(a);
    const std::vector<std::uint32_t> newRvas = newerRead.rvasOf(b);
    const auto removed = [&](std::size_t i) {
        DiffLine line;
        line.older = decodedAt(counterparts.older, oldRvas[i]).shown;
        line.change = DiffLine::Change::removed;
        diff.lines.push_back(std::move(line));
    };
    const auto added = [&](std::size_t j) {
        DiffLine line;
        line.newer = decodedAt(counterparts.newer, newRvas[j]).shown;
        line.change = DiffLine::Change::added;
        diff.lines.push_back(std::move(line));
    };
    // Kept in place while the targets' alignments are added beside it.
    const std::vector<AlignedPair>& aligned = counterparts.alignment(*oldIndex, *newIndex);
    std::size_t i = 0;
    std::size_t j = 0;
    for (const AlignedPair& pair : aligned) {
        for (; i < pair.i; ++i) {
            removed(i);
        }
        for (; j < pair.j; ++j) {
            added(j);
        }
        diff.lines.push_back(alignedLine(counterparts, decodedAt(counterparts.older, oldRvas[i]),
                                         decodedAt(counterparts.newer, newRvas[j])));
        ++i;
        ++j;
    }
    for (; i < a.steps; ++i) {
        removed(i);
    }
    for (; j < b.steps; ++j) {
        added(j);
    }
    for (const DiffLine& line : diff.lines) {
        ++diff.counts[static_cast<std::size_t>(line.change)];
    }
    return diff;
}

} // namespace scan
