#pragma once
// x86-64 instructions, decoded by Capstone, as far as a signature needs them: each instruction's
// length, its text, the fields in it whose bytes a relink or a moved global can change, and the
// address a relative field makes it refer to.

#include "scan/executable.hpp"

#include <algorithm>
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
    // A displacement added to a base or index register (not RIP): [r12 + rsi*8 + 0x70680].
    bool registerBased = false;
};

struct Instruction {
    std::size_t length = 0;
    std::string text; // mnemonic and operands
    std::vector<InstructionField> fields;
    // Where its relative field makes it refer to (a branch's target, a RIP-relative operand's
    // address); empty when it has no relative field.
    std::optional<std::uint64_t> target;
    bool branch = false; // a call or jump

    const InstructionField* relativeField() const {
        for (const InstructionField& field : fields) {
            if (field.kind == InstructionField::Kind::relative) {
                return &field;
            }
        }
        return nullptr;
    }
};

// The instruction at code (available bytes from there) as if it lay at address; empty when those
// bytes are no valid instruction.
std::optional<Instruction> decodeInstruction(const unsigned char* code, std::size_t available,
                                             std::uint64_t address);

// The instruction at rva as it lies in the image, reading nothing past the image's end.
inline std::optional<Instruction> instructionAt(const ExecutableImage& image, std::uint64_t rva) {
    const std::uint64_t size = image.bytes.size();
    if (rva >= size) {
        return std::nullopt;
    }
    return decodeInstruction(image.bytes.data() + rva,
                             static_cast<std::size_t>(std::min<std::uint64_t>(15, size - rva)),
                             image.imageBase + rva);
}

} // namespace scan
