#pragma once
// Where a relative field of an instruction leads: the instruction's end plus the field, a 32-bit
// little-endian number. The one rule for following a RIP-relative operand or a call's or jump's
// target from a match, in the plug-in and in the tools alike.

#include "pattern/pattern.hpp"

#include <cstddef>
#include <cstdint>

// How the field's number is read: as the processor does (signed), or as the plug-in's engine
// lookup does (unsigned: its patterns fix the top byte, so every match reads positive).
enum class FieldReading { asSigned, asUnsigned };

// instruction is where the instruction starts, length its length, fieldOffset where its 32-bit
// field lies within it. Reads the field's four bytes and nothing else.
ORVELIN_READS_WHOLE_IMAGE inline std::uintptr_t
relativeTarget(const unsigned char* instruction, std::size_t fieldOffset, std::size_t length,
               FieldReading reading = FieldReading::asSigned) {
    const unsigned char* field = instruction + fieldOffset;
    const std::uint32_t bits =
        static_cast<std::uint32_t>(field[0]) | static_cast<std::uint32_t>(field[1]) << 8 |
        static_cast<std::uint32_t>(field[2]) << 16 | static_cast<std::uint32_t>(field[3]) << 24;
    const std::uint64_t displacement = reading == FieldReading::asUnsigned
                                           ? std::uint64_t{bits}
                                           : static_cast<std::uint64_t>(static_cast<std::int64_t>(
                                                 static_cast<std::int32_t>(bits)));
    // Added as numbers, not as pointers: the target may lie anywhere.
    return reinterpret_cast<std::uintptr_t>(instruction) + length + displacement;
}
