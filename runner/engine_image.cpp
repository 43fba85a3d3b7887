#include "runner/engine_image.hpp"

#include <cstddef>

// The globals lie in one zero-filled object, so their distance from the instructions is set
// here: each displacement's top byte is part of its pattern (03 for the first global, 48 to
// 64 MiB away; 04 for the others, 64 to 80 MiB away). The code and data between the
// instructions and this object take up a few MiB at most, well inside that margin.
#define ORVELIN_GLOBAL1_OFFSET 0x3400000 /* 52 MiB */
#define ORVELIN_GLOBAL2_OFFSET 0x4400000 /* 68 MiB */
#define ORVELIN_GLOBAL3_OFFSET 0x4400008
#define ORVELIN_TEXT(x) #x
#define ORVELIN_STRING(x) ORVELIN_TEXT(x)

extern "C" {
struct OrvelinRunnerEngine {
    unsigned char before[ORVELIN_GLOBAL1_OFFSET];
    std::uint64_t global1;
    unsigned char between[ORVELIN_GLOBAL2_OFFSET - ORVELIN_GLOBAL1_OFFSET - sizeof(std::uint64_t)];
    std::uint64_t global2;
    std::uint64_t global3;
};
OrvelinRunnerEngine orvelinRunnerEngine;
}

static_assert(offsetof(OrvelinRunnerEngine, global1) == ORVELIN_GLOBAL1_OFFSET);
static_assert(offsetof(OrvelinRunnerEngine, global2) == ORVELIN_GLOBAL2_OFFSET);
static_assert(offsetof(OrvelinRunnerEngine, global3) == ORVELIN_GLOBAL3_OFFSET);

// Never executed: the bytes matter, and the linker fills in each displacement (target minus the
// end of the 4-byte field). They lie in writable data, so that the runner can change one of them
// as a game update would; the plug-in scans the whole image either way.
asm(R"(
    .data
    .p2align 4
    .globl orvelinEngineInstruction1, orvelinEngineInstruction2, orvelinEngineInstruction3
orvelinEngineInstruction1:
    .byte 0x48, 0x8B, 0x05
    .long orvelinRunnerEngine + )" ORVELIN_STRING(ORVELIN_GLOBAL1_OFFSET) R"( - . - 4
    .byte 0x48, 0x85, 0xC0
    .byte 0x0F, 0x85, 0xB0, 0x00, 0x00, 0x00
orvelinEngineInstruction2:
    .byte 0x48, 0x8D, 0x0D
    .long orvelinRunnerEngine + )" ORVELIN_STRING(ORVELIN_GLOBAL2_OFFSET) R"( - . - 4
    .byte 0xE8
    .long 0
    .byte 0xE8
    .long 0
    .byte 0xE8
    .long 0x01000000
orvelinEngineInstruction3:
    .byte 0x48, 0x8B, 0x1D
    .long orvelinRunnerEngine + )" ORVELIN_STRING(ORVELIN_GLOBAL3_OFFSET) R"( - . - 4
    .byte 0x48, 0x85, 0xDB
    .byte 0x74, 0x3B
    .text
)");

// The instruction that refers to each global, labelled where the assembly lays it down.
extern "C" unsigned char orvelinEngineInstruction1[];
extern "C" unsigned char orvelinEngineInstruction2[];
extern "C" unsigned char orvelinEngineInstruction3[];

namespace runner {

namespace {
struct EngineObject {
    const char* name = "Orvelin runner engine";
};
const EngineObject engineObject;
} // namespace

EngineGlobals engineGlobals() {
    return {&orvelinRunnerEngine.global1, &orvelinRunnerEngine.global2,
            &orvelinRunnerEngine.global3};
}

void startEngine() {
    orvelinRunnerEngine.global1 = reinterpret_cast<std::uintptr_t>(&engineObject);
}

void changeInstruction(int global) {
    // Its first byte, 0x48 (the REX.W prefix), becomes 0x4C.
    unsigned char* const instructions[] = {orvelinEngineInstruction1, orvelinEngineInstruction2,
                                           orvelinEngineInstruction3};
    instructions[global - 1][0] = 0x4C;
}

} // namespace runner
