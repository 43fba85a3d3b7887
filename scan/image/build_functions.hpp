#pragma once
// Every function of a build, the one set that diff, update and the matcher work on: the
// exception directory's entries (a function whose parts' unwind information is chained to its
// first is one function), the leaf functions that calls lead to, and the code left between them,
// zero fill never. For each, its instructions' shapes and mnemonics, the code it calls, jumps to
// or takes the address of, the imports it calls and the constants it refers to in read-only
// data.
//
// A large build has tens of millions of instructions, so each is kept in 7 bytes (shape,
// mnemonic, length); its RVA follows from where its piece of code begins, and what it leads to
// is kept only for those that lead somewhere.

#include "scan/image/image.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace scan {

// How far a long piece of work has come: a stage's name, and done of total steps in it.
using Progress =
    std::function<void(std::string_view stage, std::uint64_t done, std::uint64_t total)>;

// The numbers that tune what is read of each function.
struct ReadPolicy {
    // Strings shorter than this say little about who uses them ("%d", "\n").
    std::size_t shortestString = 4;
    std::size_t longestString = 256;
    std::size_t constantBlock = 16; // bytes of a constant that is no string, at most
    std::size_t mostTableSlots = 512;
    int leafRounds = 8; // rounds of reading the leaf functions calls lead to
};
inline constexpr ReadPolicy readPolicy{};

struct BuildFunction {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    std::uint32_t firstStep = 0; // its instructions: steps [firstStep, firstStep + steps)
    std::uint32_t steps = 0;
    std::uint64_t shape = 0; // of all its instructions together; equal for the same code
    // Its bytes with only the fields a relink changes cleared (relative ones): immediates and
    // field offsets kept, which tell one short getter from another.
    std::uint64_t bytes = 0;
};

// A constant in read-only data that a function refers to, by content: a string, or the bytes
// the instruction reads there.
struct DataUse {
    std::uint32_t function = 0; // its index
    std::uint64_t content = 0;  // a hash of what lies there
};

// Consecutive steps of one function that lie one after the other in the code: its first part,
// and each part of it laid out elsewhere.
struct Piece {
    std::uint32_t firstStep = 0;
    std::uint32_t rva = 0;
    std::uint32_t function = 0; // its index
};

// A step that leads to a function: a call, a jump out of its own function, a code address.
struct Link {
    std::uint32_t step = 0;
    std::uint32_t function = 0; // its index
};

// The function and the step of an instruction.
struct Held {
    std::uint32_t function = 0;
    std::uint32_t step = 0;
};

struct BuildFunctions {
    std::vector<BuildFunction> functions; // by ascending begin, none overlapping another's start
    // Per instruction of every function, in order: its shape (its bytes with every relocatable
    // field cleared, hashed); its mnemonic alone (the decoder's number for it), what a
    // recompile keeps of an instruction whose registers, offsets and encoding it changed; its
    // length in bytes.
    std::vector<std::uint32_t> shapes;
    std::vector<std::uint16_t> mnemonics;
    std::vector<std::uint8_t> lengths;
    std::vector<Piece> pieces; // by ascending firstStep, none empty
    std::vector<Link> links;   // by ascending step
    std::vector<DataUse> data; // by function, each content once per function
    // The imported functions each function calls or takes the address of, by a hash of
    // "module!name"; by function, each once per function.
    std::vector<DataUse> imports;
    // Tables of code addresses in data, by RVA: each slot's function (index + 1; 0 where the
    // address is no function's start); and the instructions that refer to one (step, table),
    // in the order of their steps.
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> tables;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tableAt;
    // The functions an exception's data leads to (catch blocks, unwind actions), by index,
    // ascending: no instruction calls them, yet they are reached.
    std::vector<std::uint32_t> funclets;

    // The index of the function that begins at rva.
    std::optional<std::uint32_t> startingAt(std::uint64_t rva) const;
    // The links of the function's steps, in order.
    std::span<const Link> linksOf(const BuildFunction& function) const;
    // The RVA of each of the function's instructions, in its steps' order.
    std::vector<std::uint32_t> rvasOf(const BuildFunction& function) const;
    std::uint64_t rvaOf(std::size_t step) const;
    // The instruction that begins at rva, and its function (for a part, the function it is a
    // part of); empty where none read begins there.
    std::optional<Held> stepAt(std::uint64_t rva) const;
    // The instruction whose bytes hold rva, and its function.
    std::optional<Held> stepHolding(std::uint64_t rva) const;

    // Orders what the lookups by RVA need; the reader does it, and so must anyone who builds the
    // set by hand.
    void index();

private:
    // The step holding rva, and the RVA it begins at.
    std::optional<std::pair<Held, std::uint64_t>> holding(std::uint64_t rva) const;

    std::vector<std::uint32_t> byRva_; // pieces by ascending rva
};

BuildFunctions readBuildFunctions(const ExecutableImage& image, const Progress& progress = {},
                                  const ReadPolicy& policy = readPolicy);

// Two builds read at once, each on a thread of its own; the progress of the newer's reading
// stands for both, since they take alike.
struct BothRead {
    std::shared_ptr<const BuildFunctions> older;
    std::shared_ptr<const BuildFunctions> newer;
};
BothRead readBoth(const ExecutableImage& older, const ExecutableImage& newer,
                  const Progress& progress = {}, const ReadPolicy& policy = readPolicy);

} // namespace scan
