#pragma once
// The code walk: a function's instructions in order from where its code begins, and which general
// registers hold the image base at each (its register set). MSVC addresses its
// tables relative to the image base through such a register, loaded by a RIP-relative lea whose
// target is RVA 0 (lea r12, [rip - X]; then mov r14, [r12 + rsi*8 + 0x70680]): only a displacement
// added to such a register is an RVA, every other is a structure or stack offset.

#include "scan/image/image.hpp"
#include "scan/image/instructions.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace scan {

// One instruction of a walk, with the registers that hold the image base as it begins.
struct CodeStep {
    std::uint64_t rva = 0;
    std::size_t length = 0;
    RegisterSet imageBase = 0;
};

// A walk looks back at most this far: further, the code is taken to hold no image base.
inline constexpr std::uint64_t walkReach = 256 * 1024;

// Where a walk to `through` begins: where the code holding it begins
// (ExecutableImage::codeStartBefore), at most walkReach bytes back.
std::uint64_t walkStartFor(const ExecutableImage& image, std::uint64_t through);

// The instructions in order from walkStartFor(through) up to and including the one at `through`;
// empty when the walk does not land on `through` (data between, or no instruction).
std::vector<CodeStep> walkTo(const ExecutableImage& image, std::uint64_t through);

// The registers that hold the image base at `rva`, by its walk; none when the walk fails.
RegisterSet imageBaseAt(const ExecutableImage& image, std::uint64_t rva);

// The registers that hold the image base after the instruction, given those before it: it loads
// the image base, or overwrites what it writes.
RegisterSet imageBaseAfter(const ExecutableImage& image, RegisterSet before,
                           const Instruction& instruction);

} // namespace scan
