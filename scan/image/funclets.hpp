#pragma once
// Exception funclets: the catch blocks and unwind actions MSVC compiles as functions of their own
// (and the filters and termination handlers of structured exception handling). No instruction
// calls or addresses one: the runtime's handler reaches it through the exception data that its
// parent's unwind information points to, so no signature can lead there through code. And the
// parts of a function that the exception directory lists apart, found the same way.

#include "scan/image/image.hpp"

#include <cstdint>
#include <optional>
#include <vector>

namespace scan {

// The function whose exception data names the function starting at `start` as a funclet: C++
// exception handling's data in either of MSVC's formats (the FuncInfo that begins with its magic
// number, or the compressed one of later releases) and structured exception handling's scope
// tables. Only a start that the exception directory lists as a function of its own, other than
// the parent, is taken as one.
std::optional<std::uint64_t> funcletParentOf(const ExecutableImage& image, std::uint64_t start);
// Every funclet's start, ascending: those of every function's exception data, read once.
std::vector<std::uint32_t> funcletsOf(const ExecutableImage& image);

// The function a part belongs to: where the exception directory lists a function in several
// parts (code moved out of line), each part's unwind information is chained to the entry of the
// part before it. The first part's entry; empty for an entry that is no such part.
std::optional<FunctionExtent> chainedParentOf(const ExecutableImage& image,
                                              const FunctionExtent& part);

} // namespace scan
