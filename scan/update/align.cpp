#include "scan/update/align.hpp"

#include "scan/image/function_map.hpp"
#include "scan/image/instructions.hpp"
#include "scan/match/longest_alignment.hpp"

#include <algorithm>
#include <functional>
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

// The one policy and routine: the windows round the place bound the table the alignment fills,
// a window of instructions round the place and the other function's instructions round where
// the place would stand at the same share; the place's counterpart is known only when every
// longest alignment of the two windows pairs it, and with the same instruction.
std::optional<std::size_t>
counterpartOf(std::size_t at, std::size_t n, std::size_t m,
              const std::function<bool(std::size_t, std::size_t)>& same) {
    constexpr std::size_t fromReach = 512;
    constexpr std::size_t toReach = 2048;
    if (at >= n || m == 0) {
        return std::nullopt;
    }
    const std::size_t a0 = at > fromReach ? at - fromReach : 0;
    const std::size_t a1 = std::min(n, at + fromReach + 1);
    const std::size_t centre = n > 1 ? at * (m - 1) / (n - 1) : 0;
    const std::size_t b0 = centre > toReach ? centre - toReach : 0;
    const std::size_t b1 = std::min(m, centre + toReach + 1);
    for (const AlignedPair& pair :
         longestAlignment(a1 - a0, b1 - b0,
                          [&](std::size_t i, std::size_t j) { return same(a0 + i, b0 + j); })) {
        if (a0 + pair.i == at) {
            return pair.fixed ? std::optional(b0 + pair.j) : std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::uint64_t> alignInstruction(const ExecutableImage& from,
                                              std::uint64_t fromFunction, std::uint64_t place,
                                              const ExecutableImage& to, std::uint64_t toFunction) {
    constexpr std::size_t mostSteps = 1u << 16;
    std::vector<Step> a = stepsOf(from, fromFunction, mostSteps);
    std::vector<Step> b = stepsOf(to, toFunction, mostSteps);
    // Shapes compared as numbers: the table compares each pair once.
    std::unordered_map<std::string, std::uint32_t> ids;
    for (std::vector<Step>* steps : {&a, &b}) {
        for (Step& step : *steps) {
            step.id = ids.emplace(step.shape, static_cast<std::uint32_t>(ids.size())).first->second;
        }
    }
    const auto found =
        std::find_if(a.begin(), a.end(), [&](const Step& step) { return step.rva == place; });
    const std::optional<std::size_t> counterpart =
        counterpartOf(static_cast<std::size_t>(found - a.begin()), found == a.end() ? 0 : a.size(),
                      b.size(), [&](std::size_t i, std::size_t j) { return a[i].id == b[j].id; });
    return counterpart ? std::optional<std::uint64_t>(b[*counterpart].rva) : std::nullopt;
}

std::optional<std::uint64_t> alignStep(const BuildFunctions& from, std::uint32_t fromFunction,
                                       std::uint32_t step, const BuildFunctions& to,
                                       std::uint32_t toFunction) {
    const BuildFunction& a = from.functions[fromFunction];
    const BuildFunction& b = to.functions[toFunction];
    const std::optional<std::size_t> counterpart =
        counterpartOf(step - a.firstStep, a.steps, b.steps, [&](std::size_t i, std::size_t j) {
            return from.shapes[a.firstStep + i] == to.shapes[b.firstStep + j];
        });
    return counterpart ? std::optional<std::uint64_t>(to.rvas[b.firstStep + *counterpart])
                       : std::nullopt;
}

} // namespace scan
