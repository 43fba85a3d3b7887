#pragma once
// x86-64 instructions, decoded by Capstone, as far as a signature needs them: each instruction's
// length, its text, and the fields in it whose bytes a relink or a moved global can change.
// Capstone is had for the Linux build only; the Windows build decodes nothing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scan {

struct InstructionField {
    enum class Kind {
        relative,     // a RIP-relative displacement or a relative call or jump target
        displacement, // any other memory displacement
        immediate,
    };
    Kind kind;
    std::size_t offset; // within the instruction
    std::size_t size;
    std::int64_t value;
};

struct Instruction {
    std::size_t length = 0;
    std::string text; // mnemonic and operands
    std::vector<InstructionField> fields;
};

// This build decodes instructions.
bool decodesInstructions();

// The instruction at code (available bytes from there) as if it lay at address; empty when those
// bytes are no valid instruction or this build decodes nothing.
std::optional<Instruction> decodeInstruction(const unsigned char* code, std::size_t available,
                                             std::uint64_t address);

} // namespace scan
