#pragma once
// What changed in one instruction between two builds when its shape stayed: the displacements and
// immediates whose values differ (a structure offset, a stack offset, a constant), and where its
// relative fields lead in each build.

#include "scan/image/image.hpp"
#include "scan/image/instructions.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scan {

// An instruction as the changes show it: its text with every address it refers to by a relative
// field written as the RVA there ("call 0x1A2B0", "lea rcx, [rva 0x14A3C0]"), since the image
// base and the field's value say nothing a reader can compare; and its bytes.
struct InstructionText {
    std::uint64_t rva = 0;
    std::string text;
    std::vector<unsigned char> bytes;
};
InstructionText instructionText(const ExecutableImage& image, std::uint64_t rva,
                                const Instruction& instruction);

// The operand that holds the field, as the instruction's text writes it, without its size
// ("[rcx + 0x49a0]", "0x10").
std::string operandOf(const Instruction& instruction, const InstructionField& field);

// A displacement or an immediate in both builds.
struct FieldValue {
    InstructionField::Kind kind = InstructionField::Kind::displacement;
    std::string oldOperand; // as each build's text writes it
    std::string newOperand;
    std::int64_t oldValue = 0;
    std::int64_t newValue = 0;
    // A memory displacement's base register (noRegister for none): the stack's (rsp) frame
    // changes with any local the compiler adds.
    int base = noRegister;
};

// The displacements and immediates of two instructions of one shape (their fields in the same
// places), in the order they lie: those whose values differ, or all of them with every.
std::vector<FieldValue> fieldValues(const Instruction& older, const Instruction& newer,
                                    bool every = false);

// Where a relative field leads in both builds (RVAs), and where the old target's counterpart lies
// in the new build when it is known: the function the match pairs it with, the instruction the
// alignment of a paired function puts there, or the same constant.
struct TargetValue {
    std::uint64_t oldTarget = 0;
    std::uint64_t newTarget = 0;
    std::optional<std::uint64_t> pairedWith;
    bool code = false; // a branch, or an address of code; data otherwise

    // It leads where the old target's counterpart is not.
    bool leadsElsewhere() const { return pairedWith && *pairedWith != newTarget; }
};

} // namespace scan
