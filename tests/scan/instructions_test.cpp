#include "scan/image/instructions.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <random>
#include <vector>

namespace {

// What reading a build asks of an instruction, as text a failure can show.
std::string layoutOf(const std::optional<scan::Instruction>& instruction) {
    if (!instruction) {
        return "none";
    }
    std::string text = "length " + std::to_string(instruction->length) + ", mnemonic " +
                       std::to_string(instruction->mnemonic) + ", memory " +
                       std::to_string(instruction->memorySize) + ", lea into " +
                       std::to_string(instruction->loadsAddressInto) +
                       (instruction->branch ? ", branch" : "") +
                       (instruction->callOrJump ? ", call or jump" : "");
    if (instruction->target) {
        text += ", target " + std::to_string(*instruction->target);
    }
    for (const scan::InstructionField& field : instruction->fields) {
        text += "; field " + std::to_string(static_cast<int>(field.kind)) + " at " +
                std::to_string(field.offset) + " of " + std::to_string(field.size) + " = " +
                std::to_string(field.value) + " [" + std::to_string(field.base) + " + " +
                std::to_string(field.index) + "]";
    }
    return text;
}

} // namespace

// Reading a build takes an instruction it has met before from its bytes, not from the decoder:
// the same instruction wherever it lies and whatever follows it, and never another's.
TEST(Instructions, ALayoutTakenFromItsBytesIsTheDecodersAtEveryAddress) {
    std::mt19937_64 random(7);
    // Bytes compilers begin instructions with, so that most are valid and many alike.
    constexpr std::array<unsigned char, 22> starts = {
        0x48, 0x4C, 0x41, 0x49, 0x66, 0x0F, 0x8B, 0x89, 0x8D, 0xE8, 0xE9,
        0xFF, 0xC7, 0x74, 0x75, 0xEB, 0xC3, 0x53, 0xF2, 0x83, 0x3B, 0x80};
    std::vector<std::array<unsigned char, 15>> pool(300);
    for (auto& bytes : pool) {
        for (unsigned char& byte : bytes) {
            byte = static_cast<unsigned char>(random());
        }
        bytes[0] = starts[random() % starts.size()];
        if (random() % 2 == 0) {
            bytes[1] = starts[random() % starts.size()];
        }
        if (random() % 4 == 0) {
            // Prefixes the processor ignores, so that what decides the length lies 8 bytes in.
            constexpr std::array<unsigned char, 8> longStart = {0x2E, 0x2E, 0x2E, 0x2E,
                                                                0x66, 0x0F, 0x38, 0x00};
            std::copy(longStart.begin(), longStart.end(), bytes.begin());
        }
    }
    int remembered = 0;
    for (int round = 0; round < 30000; ++round) {
        std::array<unsigned char, 15> bytes = pool[random() % pool.size()];
        const std::uint64_t address = random() >> (random() % 48);
        const std::size_t available = 1 + random() % bytes.size();
        // Now and then one that shares its first bytes with another and differs further in.
        if (random() % 2 == 0) {
            bytes[1 + random() % (bytes.size() - 1)] = static_cast<unsigned char>(random());
        }
        // What follows the instruction changes from one round to the next.
        const std::optional<scan::Instruction> first =
            scan::decodeInstruction(bytes.data(), available, address);
        for (std::size_t n = first ? first->length : 0; n < bytes.size(); ++n) {
            bytes[n] = static_cast<unsigned char>(random());
        }
        const std::optional<scan::Instruction> whole =
            scan::decodeInstruction(bytes.data(), available, address, scan::Told::everything);
        const std::optional<scan::Instruction> layout =
            scan::decodeInstruction(bytes.data(), available, address, scan::Told::layout);
        ASSERT_EQ(layoutOf(layout), layoutOf(whole)) << "round " << round;
        remembered += layout ? 1 : 0;
    }
    EXPECT_GT(remembered, 10000) << "most rounds decode an instruction";
}
