#pragma once
// Every function of a build as the matcher compares it: its instructions' shapes, the code it
// calls, jumps to or takes the address of, and the constants it refers to in read-only data. The
// functions are those the exception directory lists and the leaf functions their calls lead to.

#include "scan/image/image.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace scan {

// How far a long piece of work has come: a stage's name, and done of total steps in it.
using Progress =
    std::function<void(std::string_view stage, std::uint64_t done, std::uint64_t total)>;

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

// A constant in read-only data that a function refers to, by content: a string, or the block of
// bytes at the place.
struct DataUse {
    std::uint32_t function = 0; // its index
    std::uint64_t content = 0;  // a hash of what lies there
};

struct BuildFunctions {
    std::vector<BuildFunction> functions; // by ascending begin, none overlapping another's start
    // Per instruction of every function, in order: its shape (its bytes with every relocatable
    // field cleared, hashed), and the function its code reference leads to (index + 1; 0 for
    // none, and for a jump within its own function).
    std::vector<std::uint32_t> shapes;
    std::vector<std::uint32_t> leadsTo;
    // Per instruction, its mnemonic alone (hashed): what a recompile keeps of an instruction
    // whose registers, offsets and encoding it changed.
    std::vector<std::uint32_t> mnemonics;
    // Per instruction, its RVA: a function's parts that lie elsewhere are among its steps.
    std::vector<std::uint32_t> rvas;
    std::vector<DataUse> data; // by function, each content once per function
    // The imported functions each function calls or takes the address of, by a hash of
    // "module!name"; by function, each once per function.
    std::vector<DataUse> imports;
    // Tables of code addresses in data, by RVA: each slot's function (index + 1; 0 where the
    // address is no function's start); and the instructions that refer to one (step, table),
    // in the order of their steps.
    std::unordered_map<std::uint32_t, std::vector<std::uint32_t>> tables;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> tableAt;

    // The index of the function that begins at rva.
    std::optional<std::uint32_t> startingAt(std::uint64_t rva) const;
};

// Which function holds each instruction, parts and all: a place in a part of a function leads to
// the function, not to the part.
class StepIndex {
public:
    explicit StepIndex(const BuildFunctions& functions);
    struct Held {
        std::uint32_t function; // its index
        std::uint32_t step;     // the instruction's, among all steps
    };
    // The function and step of the instruction that begins at rva; empty where none does.
    std::optional<Held> at(std::uint64_t rva) const;
    // The instruction that begins last at or before rva, and its RVA: the one that may hold it.
    std::optional<std::pair<std::uint64_t, Held>> atOrBefore(std::uint64_t rva) const;

private:
    std::vector<std::pair<std::uint32_t, Held>> byRva_;
};

BuildFunctions readBuildFunctions(const ExecutableImage& image, const Progress& progress = {});

} // namespace scan
