#include "scan/update/align.hpp"

#include "scan/image/function_map.hpp"
#include "scan/image/instructions.hpp"

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
    const std::size_t rows = a1 - a0;
    const std::size_t columns = b1 - b0;
    // length[i][j]: the longest common subsequence of a[a0 + i ..] and b[b0 + j ..], so that
    // the walk from the front below reads the alignment in order.
    std::vector<std::uint32_t> length((rows + 1) * (columns + 1), 0);
    auto cell = [&](std::size_t i, std::size_t j) -> std::uint32_t& {
        return length[i * (columns + 1) + j];
    };
    for (std::size_t i = rows; i-- > 0;) {
        for (std::size_t j = columns; j-- > 0;) {
            cell(i, j) = a[a0 + i].id == b[b0 + j].id ? cell(i + 1, j + 1) + 1
                                                      : std::max(cell(i + 1, j), cell(i, j + 1));
        }
    }
    for (std::size_t i = 0, j = 0; i < rows && j < columns;) {
        const Step& left = a[a0 + i];
        const Step& right = b[b0 + j];
        if (left.id == right.id && cell(i, j) == cell(i + 1, j + 1) + 1) {
            if (left.rva == place) {
                return right.rva;
            }
            ++i;
            ++j;
        } else if (cell(i + 1, j) >= cell(i, j + 1)) {
            if (left.rva == place) {
                return std::nullopt; // the place's instruction has no counterpart
            }
            ++i;
        } else {
            ++j;
        }
    }
    return std::nullopt;
}

} // namespace scan
