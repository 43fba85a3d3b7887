#pragma once
// Where the image's functions lie: each one's start and end, the padding between them, the next
// and previous function in the layout, jump thunks, and whether a range stays inside one
// function. Signatures, references, bundles, alignment and the update all ask it, so that a
// signature never runs into padding or another function's code.
//
// A function listed in the exception directory has the extent its entry gives, with the parts
// chained to it that follow it directly (the image reads them as one). A leaf function
// (no entry) starts where the code comes out of padding and ends after the ret or unconditional
// jmp that padding follows, or at the first int3 (never executed, so never inside a function's
// flow), or at the next function the directory knows, or at its section's end.

#include "scan/image/image.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>

namespace scan {

struct Instruction;

// The padding instruction at the RVA (int3, nop, or one of the multi-byte nop forms compilers pad
// with: 66 90, 0F 1F /0 with any operand and any 66 or 2E prefixes): its length; 0 where the
// bytes there are no padding.
std::size_t paddingAt(const ExecutableImage& image, std::uint64_t at);

// The start of the function holding the RVA: its entry's begin; else where the code's walk to it
// last came out of padding that separates functions (a run that begins with int3, or any padding
// after a ret or jmp). An RVA in the padding after a function gives that function's start.
std::uint64_t functionStartOf(const ExecutableImage& image, std::uint64_t rva);

// The end of the function that starts at `start` (one past its last byte): its entry's end, else
// as the header says for a leaf function.
std::uint64_t functionEndOf(const ExecutableImage& image, std::uint64_t start);

// The walk that ends a leaf function, from its start, whatever the directory says there: each
// instruction with its RVA, and whether it follows a return or jump with no padding between
// (where another function may begin, laid out right after the one before); where `each` says
// no, the walk stops before that instruction. Its end, or where it stopped.
using LeafStep =
    std::function<bool(std::uint64_t at, const Instruction& instruction, bool afterFlowEnd)>;
std::uint64_t walkLeafFunction(const ExecutableImage& image, std::uint64_t start,
                               const LeafStep& each);

// The function holding the RVA, [begin, end); the end lies at or before the RVA when the RVA is
// padding after it.
FunctionExtent functionOf(const ExecutableImage& image, std::uint64_t rva);

// [begin, end) lies inside the function holding begin: no padding after it, no other function.
bool withinOneFunction(const ExecutableImage& image, std::uint64_t begin, std::uint64_t end);

// The start of the function laid out next after the one that starts at `start`, past its end and
// the padding there; empty at its section's end, or where its code cannot be decoded.
std::optional<std::uint64_t> nextFunctionStart(const ExecutableImage& image, std::uint64_t start);

// The start of the function laid out just before the one that starts at `start`; empty when
// only padding lies before it in its section.
std::optional<std::uint64_t> previousFunctionStart(const ExecutableImage& image,
                                                   std::uint64_t start);

// A lone jmp rel32 that stands for the function it jumps to: at the start of a function, or
// right after another such jump (an incremental linker's table of thunks); never inside a
// function's code.
bool isJumpThunk(const ExecutableImage& image, std::uint64_t rva);

} // namespace scan
