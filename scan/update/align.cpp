#include "scan/update/align.hpp"

#include "scan/match/longest_alignment.hpp"

#include <algorithm>
#include <vector>

namespace scan {

namespace {

// The one routine: [0, n) aligned with [0, m) as one longest common subsequence, within the
// policy's cells (see alignFunctions).
template <typename X, typename Y>
std::vector<AlignedPair> alignSequences(std::size_t n, std::size_t m, X x, Y y,
                                        const MatchPolicy& policy) {
    const auto same = [&](std::size_t i, std::size_t j) { return x(i) == y(j); };
    std::vector<AlignedPair> pairs;
    // Aligns [i0, i1) with [j0, j1), appending.
    const auto align = [&](std::size_t i0, std::size_t i1, std::size_t j0, std::size_t j1) {
        for (const AlignedPair& pair : longestAlignment(
                 i1 - i0, j1 - j0, [&](std::size_t i) { return x(i0 + i); },
                 [&](std::size_t j) { return y(j0 + j); })) {
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

std::vector<AlignedPair> alignFunctions(const BuildFunctions& from, std::uint32_t fromFunction,
                                        const BuildFunctions& to, std::uint32_t toFunction,
                                        const MatchPolicy& policy) {
    const BuildFunction& a = from.functions[fromFunction];
    const BuildFunction& b = to.functions[toFunction];
    return alignSequences(
        a.steps, b.steps, [&](std::size_t i) { return from.shapes[a.firstStep + i]; },
        [&](std::size_t j) { return to.shapes[b.firstStep + j]; }, policy);
}

std::optional<std::uint64_t> alignStep(const BuildFunctions& from, std::uint32_t fromFunction,
                                       std::uint32_t step, const BuildFunctions& to,
                                       std::uint32_t toFunction) {
    const std::optional<std::size_t> counterpart =
        counterpartIn(alignFunctions(from, fromFunction, to, toFunction),
                      step - from.functions[fromFunction].firstStep);
    return counterpart ? std::optional<std::uint64_t>(
                             to.rvaOf(to.functions[toFunction].firstStep + *counterpart))
                       : std::nullopt;
}

} // namespace scan
