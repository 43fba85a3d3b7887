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
        std::string shape = clearedBytes(image.bytes.data() + at, *instruction, Cleared::every);
        steps.push_back({at, std::move(shape)});
        at += instruction->length;
    }
    return steps;
}

// The one routine: [0, n) aligned with [0, m) as one longest common subsequence, within the
// policy's cells (see alignFunctions).
template <typename Same>
std::vector<AlignedPair> alignSequences(std::size_t n, std::size_t m, Same same,
                                        const MatchPolicy& policy) {
    std::vector<AlignedPair> pairs;
    // Aligns [i0, i1) with [j0, j1), appending.
    const auto align = [&](std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1) {
        for (const AlignedPair& pair :
             longestAlignment(i1 - i0, j1 - j0,
                              [&](std::size_t i, std::size_t j) { return same(i0 + i, j0 + j); })) {
            pairs.push_back({i0 + pair.i, j0 + pair.j, pair.fixed});
        }
    };
    std::size_t common = 0;
    while (common < n && common < m && same(common, common)) {
        ++common;
    }
    // The same code: the one alignment of its length pairs every instruction with its own.
    if (common == n && common == m) {
        for (std::size_t i = 0; i < n; ++i) {
            pairs.push_back({i, i, true});
        }
        return pairs;
    }
    if (n * m <= policy.mostCells) {
        align(0, n, 0, m);
        return pairs;
    }
    // Too long for one table: the common ends as they stand, the middle in blocks.
    const CommonEnds ends = commonEnds(n, m, same);
    const std::size_t head = ends.head;
    const std::size_t tail = ends.tail;
    for (std::size_t i = 0; i < head; ++i) {
        pairs.push_back({i, i, true});
    }
    const std::size_t rows = n - head - tail;
    const std::size_t columns = m - head - tail;
    // Blocks of about an equal share of both sides, each within the cells.
    std::size_t blocks = 1;
    while ((rows / blocks + 1) * (columns / blocks + 1) > policy.mostCells) {
        ++blocks;
    }
    for (std::size_t k = 0; k < blocks; ++k) {
        align(head + rows * k / blocks, head + rows * (k + 1) / blocks, head + columns * k / blocks,
              head + columns * (k + 1) / blocks);
    }
    for (std::size_t k = tail; k-- > 0;) {
        pairs.push_back({n - 1 - k, m - 1 - k, true});
    }
    return pairs;
}

} // namespace

std::optional<std::size_t> counterpartIn(const std::vector<AlignedPair>& pairs, std::size_t at) {
    const auto found =
        std::lower_bound(pairs.begin(), pairs.end(), at,
                         [](const AlignedPair& pair, std::size_t i) { return pair.i < i; });
    return found != pairs.end() && found->i == at && found->fixed ? std::optional(found->j)
                                                                  : std::nullopt;
}

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
    if (found == a.end()) {
        return std::nullopt;
    }
    const std::optional<std::size_t> counterpart = counterpartIn(
        alignSequences(
            a.size(), b.size(), [&](std::size_t i, std::size_t j) { return a[i].id == b[j].id; },
            matchPolicy),
        static_cast<std::size_t>(found - a.begin()));
    return counterpart ? std::optional<std::uint64_t>(b[*counterpart].rva) : std::nullopt;
}

std::vector<AlignedPair> alignFunctions(const BuildFunctions& from, std::uint32_t fromFunction,
                                        const BuildFunctions& to, std::uint32_t toFunction,
                                        const MatchPolicy& policy) {
    const BuildFunction& a = from.functions[fromFunction];
    const BuildFunction& b = to.functions[toFunction];
    return alignSequences(
        a.steps, b.steps,
        [&](std::size_t i, std::size_t j) {
            return from.shapes[a.firstStep + i] == to.shapes[b.firstStep + j];
        },
        policy);
}

std::optional<std::uint64_t> alignStep(const BuildFunctions& from, std::uint32_t fromFunction,
                                       std::uint32_t step, const BuildFunctions& to,
                                       std::uint32_t toFunction) {
    const std::optional<std::size_t> counterpart =
        counterpartIn(alignFunctions(from, fromFunction, to, toFunction),
                      step - from.functions[fromFunction].firstStep);
    return counterpart ? std::optional<std::uint64_t>(
                             to.rvas[to.functions[toFunction].firstStep + *counterpart])
                       : std::nullopt;
}

} // namespace scan
