#include "scan/changes/field_moves.hpp"

#include "scan/image/instructions.hpp"
#include "scan/update/align.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <map>
#include <utility>

namespace scan {

namespace {

constexpr int stackPointer = 4; // rsp, as the encoding numbers it

// The memory displacement of an instruction that tells a structure's field: none off rsp.
const InstructionField* structureField(const Instruction& instruction) {
    for (const InstructionField& field : instruction.fields) {
        if (field.kind == InstructionField::Kind::displacement && field.base != stackPointer) {
            return &field;
        }
    }
    return nullptr;
}

struct Tally {
    struct Move {
        std::size_t instructions = 0;
        std::size_t functions = 0;
        std::size_t lastFunction = SIZE_MAX; // pairs are walked one function at a time
    };
    std::map<std::pair<std::int64_t, std::int64_t>, Move> moves;
    std::map<std::int64_t, std::size_t> kept;
    FieldMoves counts;

    void add(const Tally& other) {
        for (const auto& [key, move] : other.moves) {
            moves[key].instructions += move.instructions;
            moves[key].functions += move.functions; // the halves hold different functions
        }
        for (const auto& [value, count] : other.kept) {
            kept[value] += count;
        }
        counts.pairsAligned += other.counts.pairsAligned;
        counts.instructions += other.counts.instructions;
        counts.displacements += other.counts.displacements;
        counts.moved += other.counts.moved;
    }
};

class Walk {
public:
    Walk(const ExecutableImage& older, const ExecutableImage& newer, const BuildMatch& match)
        : older_(older), newer_(newer), match_(match), olderRead_(*match.olderRead),
          newerRead_(*match.newerRead) {}

    void pair(std::size_t n, Tally& tally) const {
        const FunctionPair& pair = match_.pairs[n];
        const std::optional<std::uint32_t> a = olderRead_.startingAt(pair.oldRva);
        const std::optional<std::uint32_t> b = newerRead_.startingAt(pair.newRva);
        if (!a || !b) {
            return;
        }
        ++tally.counts.pairsAligned;
        const std::vector<std::uint32_t> oldRvas = olderRead_.rvasOf(olderRead_.functions[*a]);
        const std::vector<std::uint32_t> newRvas = newerRead_.rvasOf(newerRead_.functions[*b]);
        for (const AlignedPair& aligned : alignFunctions(olderRead_, *a, newerRead_, *b)) {
            if (!aligned.fixed) {
                continue; // in a run of one shape, which is which is not known
            }
            ++tally.counts.instructions;
            const std::uint64_t oldAt = oldRvas[aligned.i];
            const std::uint64_t newAt = newRvas[aligned.j];
            const std::optional<Instruction> oldOne = instructionAt(older_, oldAt);
            const InstructionField* oldField = oldOne ? structureField(*oldOne) : nullptr;
            if (oldField == nullptr) {
                continue;
            }
            ++tally.counts.displacements;
            if (newAt + oldOne->length <= newer_.bytes.size() &&
                std::memcmp(older_.bytes.data() + oldAt, newer_.bytes.data() + newAt,
                            oldOne->length) == 0) {
                ++tally.kept[oldField->value];
                continue;
            }
            const std::optional<Instruction> newOne = instructionAt(newer_, newAt);
            const InstructionField* newField = newOne ? structureField(*newOne) : nullptr;
            if (newField == nullptr || newOne->fields.size() != oldOne->fields.size() ||
                clearedBytes(older_.bytes.data() + oldAt, *oldOne, Cleared::every) !=
                    clearedBytes(newer_.bytes.data() + newAt, *newOne, Cleared::every)) {
                continue;
            }
            // The rest of it stayed: its immediates too.
            bool restStayed = true;
            for (std::size_t k = 0; k < oldOne->fields.size(); ++k) {
                const InstructionField& each = oldOne->fields[k];
                restStayed = restStayed &&
                             (&each == oldField || each.kind == InstructionField::Kind::relative ||
                              each.value == newOne->fields[k].value);
            }
            if (!restStayed) {
                continue;
            }
            if (newField->value == oldField->value) {
                ++tally.kept[oldField->value];
                continue;
            }
            ++tally.counts.moved;
            Tally::Move& move = tally.moves[{oldField->value, newField->value}];
            ++move.instructions;
            if (move.lastFunction != n) {
                move.lastFunction = n;
                ++move.functions;
            }
        }
    }

private:
    const ExecutableImage& older_;
    const ExecutableImage& newer_;
    const BuildMatch& match_;
    const BuildFunctions& olderRead_;
    const BuildFunctions& newerRead_;
};

} // namespace

FieldMoves fieldMoves(const ExecutableImage& older, const ExecutableImage& newer,
                      const BuildMatch& match, const Progress& progress) {
    const Walk walk(older, newer, match);
    const std::size_t total = match.pairs.size();
    std::atomic<std::size_t> done{0};
    // Two halves side by side; the progress is told from this thread alone.
    Tally first;
    Tally second;
    sideBySide(
        [&] {
            for (std::size_t n = 0; n < total / 2; ++n) {
                walk.pair(n, first);
                if (++done % 1024 == 0 && progress) {
                    progress("comparing fields", done, total);
                }
            }
        },
        [&] {
            for (std::size_t n = total / 2; n < total; ++n) {
                walk.pair(n, second);
                ++done;
            }
        });
    first.add(second);
    FieldMoves result = first.counts;
    std::map<std::int64_t, std::size_t> withOldValue = first.kept;
    for (const auto& [key, move] : first.moves) {
        withOldValue[key.first] += move.instructions;
    }
    for (const auto& [key, move] : first.moves) {
        const std::size_t kept = first.kept.count(key.first) ? first.kept.at(key.first) : 0;
        result.moves.push_back({key.first, key.second, move.instructions, move.functions,
                                withOldValue[key.first] - move.instructions, kept});
    }
    std::stable_sort(
        result.moves.begin(), result.moves.end(),
        [](const FieldMove& a, const FieldMove& b) { return a.instructions > b.instructions; });
    if (progress) {
        progress("comparing fields", total, total);
    }
    return result;
}

} // namespace scan
