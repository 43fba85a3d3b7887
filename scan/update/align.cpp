#include "scan/update/align.hpp"

#include "scan/image/function_map.hpp"
#include "scan/image/instructions.hpp"
#include "scan/match/longest_alignment.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

namespace scan {

namespace {

struct Step {
    std::uint64_t rva;
    std::string shape;
    std::uint32_t id = 0; // the same for the same shape
};

// The function's instructions from its start to its end, at most `most` of them.
std::vector<Step> stepsOf(const ExecutableImage& image, std::uint64_t function, std::size_t most) {
    const std::uint64_t end = functionEndOf(image, function);
    std::vector<Step> steps;
    for (std::uint64_t at = function; at < end && steps.size() < most;) {
        if (image.zeroFillAt(at) > 0) {
            break; // the function ends where zero fill begins
        }
        const std::optional<Instruction> instruction = instructionAt(image, at, end);
        if (!instruction) {
            break;
        }
        std::string shape(reinterpret_cast<const char*>(image.bytes.data() + at),
                          instruction->length);
        for (const InstructionField& field : instruction->fields) {
            std::fill_n(shape.begin() + static_cast<std::ptrdiff_t>(field.offset), field.size,
                        '\0');
        }
        steps.push_back({at, std::move(shape)});
        at += instruction->length;
    }
    return steps;
}

} // namespace

std::optional<std::uint64_t> alignInstruction(const ExecutableImage& from,
                                              std::uint64_t fromFunction, std::uint64_t place,
                                              const ExecutableImage& to, std::uint64_t toFunction) {
    // Bounds on the table the alignment fills: a window of instructions round the place, and
    // the other function's instructions round where the place would stand at the same share.
    constexpr std::size_t mostSteps = 1u << 16;
    constexpr std::size_t fromReach = 512;
    constexpr std::size_t toReach = 2048;
    std::vector<Step> a = stepsOf(from, fromFunction, mostSteps);
    std::vector<Step> b = stepsOf(to, toFunction, mostSteps);
    // Shapes compared as numbers: the table below compares each pair once.
    std::unordered_map<std::string, std::uint32_t> ids;
    for (std::vector<Step>* steps : {&a, &b}) {
        for (Step& step : *steps) {
            step.id = ids.emplace(step.shape, static_cast<std::uint32_t>(ids.size())).first->second;
        }
    }
    const auto found =
        std::find_if(a.begin(), a.end(), [&](const Step& step) { return step.rva == place; });
    if (found == a.end() || b.empty()) {
        return std::nullopt;
    }
    // The windows [a0, a1) of a and [b0, b1) of b.
    const auto at = static_cast<std::size_t>(found - a.begin());
    const std::size_t a0 = at > fromReach ? at - fromReach : 0;
    const std::size_t a1 = std::min(a.size(), at + fromReach + 1);
    const std::size_t centre = a.size() > 1 ? at * (b.size() - 1) / (a.size() - 1) : 0;
    const std::size_t b0 = centre > toReach ? centre - toReach : 0;
    const std::size_t b1 = std::min(b.size(), centre + toReach + 1);
    // The place's counterpart is known only when every longest alignment of the two windows
    // pairs it, and with the same instruction.
    for (const AlignedPair& pair :
         longestAlignment(a1 - a0, b1 - b0, [&](std::size_t i, std::size_t j) {
             return a[a0 + i].id == b[b0 + j].id;
         })) {
        if (a0 + pair.i == at) {
            return pair.fixed ? std::optional(b[b0 + pair.j].rva) : std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace scan
