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
    // length[i][j]: the longest common subsequence of a[a0 + i ..] and b[b0 + j ..].
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
    // before[i][j]: the same for the prefixes a[a0 .. a0 + i) and b[b0 .. b0 + j).
    std::vector<std::uint32_t> before((rows + 1) * (columns + 1), 0);
    auto prefix = [&](std::size_t i, std::size_t j) -> std::uint32_t& {
        return before[i * (columns + 1) + j];
    };
    for (std::size_t i = 1; i <= rows; ++i) {
        for (std::size_t j = 1; j <= columns; ++j) {
            prefix(i, j) = a[a0 + i - 1].id == b[b0 + j - 1].id
                               ? prefix(i - 1, j - 1) + 1
                               : std::max(prefix(i - 1, j), prefix(i, j - 1));
        }
    }
    // The place's counterpart is known only when every longest alignment pairs it, and with the
    // same instruction: in a run of instructions of one shape, equally long alignments pair it
    // with different ones, and any of them could be the wrong one.
    const std::size_t p = at - a0;
    const std::uint32_t longest = cell(0, 0);
    std::optional<std::size_t> partner;
    for (std::size_t q = 0; q <= columns; ++q) {
        if (prefix(p, q) + cell(p + 1, q) == longest) {
            return std::nullopt; // a longest alignment leaves it without a counterpart
        }
        if (q < columns && a[at].id == b[b0 + q].id &&
            prefix(p, q) + 1 + cell(p + 1, q + 1) == longest) {
            if (partner) {
                return std::nullopt;
            }
            partner = q;
        }
    }
    return partner ? std::optional(b[b0 + *partner].rva) : std::nullopt;
}

} // namespace scan
