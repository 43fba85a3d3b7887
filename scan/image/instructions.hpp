#pragma once
// x86-64 instructions, decoded by Capstone, as far as a signature needs them: each instruction's
// length, its text, the fields in it whose bytes a relink or a moved global can change, the
// address a relative field makes it refer to, and the general registers it reads as an address
// and writes. Where a field lies and how long it is comes from the instruction's own encoding
// (its ModRM and SIB bytes), not from the decoder's account of it.

#include "scan/image/image.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace scan {

// The sixteen general registers, numbered as the encoding numbers them (rax 0 ... r15 15), a bit
// each; a register is named by its whole 64-bit self whatever part of it an instruction uses.
using RegisterSet = std::uint16_t;
inline constexpr int noRegister = -1;
inline constexpr RegisterSet registerBit(int reg) {
    return reg < 0 ? RegisterSet{0} : static_cast<RegisterSet>(1u << reg);
}

struct InstructionField {
    enum class Kind {
        relative,     // a RIP-relative displacement or a relative call or jump target
        displacement, // any other memory displacement
        immediate,
    };
    Kind kind;
    std::size_t offset; // within the instruction
    std::size_t size;
    std::int64_t value; // as the encoding holds it, sign-extended
    // A displacement's base and index registers: [r12 + rsi*8 + 0x70680].
    int base = noRegister;
    int index = noRegister;
};

// An instruction's fields, in the order they lie: a memory operand's displacement and an
// immediate, at most, so kept in place rather than allocated for each instruction decoded.
class InstructionFields {
public:
    void push_back(const InstructionField& field) {
        if (count_ == most) {
            throw std::length_error("an instruction holds two fields at most");
        }
        fields_[count_++] = field;
    }
    std::size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    const InstructionField& operator[](std::size_t n) const { return fields_[n]; }
    const InstructionField* begin() const { return fields_.data(); }
    const InstructionField* end() const { return fields_.data() + count_; }
    std::reverse_iterator<const InstructionField*> rbegin() const {
        return std::reverse_iterator(end());
    }
    std::reverse_iterator<const InstructionField*> rend() const {
        return std::reverse_iterator(begin());
    }

private:
    static constexpr std::size_t most = 2;
    std::array<InstructionField, most> fields_{};
    std::size_t count_ = 0;
};

struct Instruction {
    std::size_t length = 0;
    std::string text;           // mnemonic and operands
    std::uint16_t mnemonic = 0; // the decoder's number for its mnemonic, the same in every build
    std::size_t operandsAt = 0; // where the operands begin in text, separated by ", "
    InstructionFields fields;
    // Where its relative field makes it refer to (a branch's target, a RIP-relative operand's
    // address); empty when it has no relative field.
    std::optional<std::uint64_t> target;
    bool branch = false; // a call or jump
    // A call, or a jump that always jumps: what leads to a function the walk has not met.
    bool callOrJump = false;
    // The general registers it may change; after a call, those the Windows x64 convention lets
    // the callee change (rax, rcx, rdx, r8 to r11).
    RegisterSet writes = 0;
    // A lea with a RIP-relative operand: the register that receives the target's address.
    int loadsAddressInto = noRegister;
    // The bytes its memory operand reads or writes: 0 for none, and for a lea, which takes only
    // the address.
    std::size_t memorySize = 0;

    const InstructionField* relativeField() const {
        for (const InstructionField& field : fields) {
            if (field.kind == InstructionField::Kind::relative) {
                return &field;
            }
        }
        return nullptr;
    }
};

// An instruction's bytes (code holds them) with fields cleared to zero: only its relative ones,
// which a relink changes; or every field, its shape, which also survives moved data and
// structure offsets. Every reader of code compares instructions by these.
enum class Cleared { relative, every };
std::string clearedBytes(const unsigned char* code, const Instruction& instruction, Cleared which);

// Gives the calling thread a decoder of its own while it lives; without one a thread uses the
// process's. A thread that decodes beside another holds one: a decoder keeps state between calls.
class OwnDecoder {
public:
    OwnDecoder();
    ~OwnDecoder();
    OwnDecoder(const OwnDecoder&) = delete;
    OwnDecoder& operator=(const OwnDecoder&) = delete;

    struct Held;

private:
    std::unique_ptr<Held> held_;
};

// Runs beside on a thread of its own, with a decoder of its own, while here runs on the calling
// thread; returns when both have ended, and throws what either threw (running out of memory),
// here's first.
void sideBySide(const std::function<void()>& here, const std::function<void()>& beside);

// work(k) for each k in [0, count), each once, two at a time (side by side as above), each k
// taken by whichever thread is free next; returns when all have ended.
void eachSideBySide(std::size_t count, const std::function<void(std::size_t)>& work);

// How many instructions the calling thread has decoded: what reading code has cost it.
std::uint64_t instructionsDecoded();

// How much of an instruction is told: all of it, or only what reading a whole build asks (its
// length, fields, target, mnemonic, memory operand's size and whether it calls or jumps), without
// its text and the registers it writes, which cost as much again.
enum class Told { everything, layout };

// The instruction at code (available bytes from there) as if it lay at address; empty when those
// bytes are no valid instruction. A layout the calling thread's decoder met lately is taken from
// its bytes without decoding again: reading a build meets most instructions many times.
std::optional<Instruction> decodeInstruction(const unsigned char* code, std::size_t available,
                                             std::uint64_t address, Told told = Told::everything);

// The instruction at rva as it lies in the image, reading nothing past the image's end (nor past
// end, where given).
std::optional<Instruction> instructionAt(const ExecutableImage& image, std::uint64_t rva,
                                         std::uint64_t end = UINT64_MAX,
                                         Told told = Told::everything);

} // namespace scan
