#pragma once
// Two sequences (instructions, functions) aligned as their longest common subsequence, and for
// each pair whether every longest alignment makes it: in a run of equal elements, equally long
// alignments pair an element with different ones, and any of them could be the wrong one.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scan {

struct AlignedPair {
    std::size_t i = 0;  // in the first sequence
    std::size_t j = 0;  // in the second
    bool fixed = false; // every longest alignment pairs i, and with j
};

// The pairs of one longest alignment of [0, n) and [0, m), ascending; equal(i, j) tells whether
// the first's i-th element equals the second's j-th. Whether a pair is fixed is asked only where
// asked(i, j) says so (it costs a pass over the row); elsewhere fixed is false. Takes
// (n + 1) * (m + 1) * 8 bytes.
template <typename Equal, typename Asked>
std::vector<AlignedPair> longestAlignment(std::size_t n, std::size_t m, Equal equal, Asked asked) {
    const std::size_t columns = m + 1;
    // after[i][j]: the longest common subsequence of the suffixes from i and j; before[i][j],
    // of the prefixes up to i and j.
    std::vector<std::uint32_t> after((n + 1) * columns, 0);
    std::vector<std::uint32_t> before((n + 1) * columns, 0);
    const auto at = [&](std::vector<std::uint32_t>& table, std::size_t i,
                        std::size_t j) -> std::uint32_t& { return table[i * columns + j]; };
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t j = m; j-- > 0;) {
            at(after, i, j) = equal(i, j) ? at(after, i + 1, j + 1) + 1
                                          : std::max(at(after, i + 1, j), at(after, i, j + 1));
        }
    }
    for (std::size_t i = 1; i <= n; ++i) {
        for (std::size_t j = 1; j <= m; ++j) {
            at(before, i, j) = equal(i - 1, j - 1)
                                   ? at(before, i - 1, j - 1) + 1
                                   : std::max(at(before, i - 1, j), at(before, i, j - 1));
        }
    }
    const std::uint32_t longest = n > 0 && m > 0 ? at(after, 0, 0) : 0;
    const auto fixedAt = [&](std::size_t i, std::size_t j) {
        for (std::size_t q = 0; q <= m; ++q) {
            if (at(before, i, q) + at(after, i + 1, q) == longest) {
                return false; // a longest alignment leaves i without a partner
            }
            if (q < m && q != j && equal(i, q) &&
                at(before, i, q) + 1 + at(after, i + 1, q + 1) == longest) {
                return false; // one pairs it with another
            }
        }
        return true;
    };
    std::vector<AlignedPair> pairs;
    for (std::size_t i = 0, j = 0; i < n && j < m;) {
        if (equal(i, j) && at(after, i, j) == at(after, i + 1, j + 1) + 1) {
            pairs.push_back({i, j, asked(i, j) && fixedAt(i, j)});
            ++i;
            ++j;
        } else if (at(after, i + 1, j) >= at(after, i, j + 1)) {
            ++i;
        } else {
            ++j;
        }
    }
    return pairs;
}

// The common start and end of [0, n) and [0, m), paired as they stand, without a table: head
// elements from the start and tail from the end that equal(i, j) pairs in place. A run of one
// element at the edge of either could align one further on, so such elements are left out of
// both, for a table to weigh every longest alignment of them.
struct CommonEnds {
    std::size_t head = 0;
    std::size_t tail = 0;
};
template <typename Equal> CommonEnds commonEnds(std::size_t n, std::size_t m, Equal equal) {
    std::size_t head = 0;
    while (head < n && head < m && equal(head, head)) {
        ++head;
    }
    while (head > 0 &&
           ((head < m && equal(head - 1, head)) || (head < n && equal(head, head - 1)))) {
        --head;
    }
    std::size_t tail = 0;
    while (tail < n - head && tail < m - head && equal(n - 1 - tail, m - 1 - tail)) {
        ++tail;
    }
    while (tail > 0 && ((m - tail > head && equal(n - tail, m - 1 - tail)) ||
                        (n - tail > head && equal(n - 1 - tail, m - tail)))) {
        --tail;
    }
    return {head, tail};
}

template <typename Equal>
std::vector<AlignedPair> longestAlignment(std::size_t n, std::size_t m, Equal equal) {
    return longestAlignment(n, m, equal, [](std::size_t, std::size_t) { return true; });
}

// Only the length of the longest common subsequence: one row at a time, (m + 1) * 4 bytes.
template <typename Equal>
std::size_t longestCommonLength(std::size_t n, std::size_t m, Equal equal) {
    std::vector<std::uint32_t> row(m + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        std::uint32_t diagonal = 0; // row[j] of the row before, for j - 1
        for (std::size_t j = 1; j <= m; ++j) {
            const std::uint32_t above = row[j];
            row[j] = equal(i, j - 1) ? diagonal + 1 : std::max(row[j], row[j - 1]);
            diagonal = above;
        }
    }
    return row[m];
}

} // namespace scan
