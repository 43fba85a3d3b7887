#pragma once
// Two sequences (instructions, functions) aligned as their longest common subsequence, and for
// each pair whether every longest alignment makes it: in a run of equal elements, equally long
// alignments pair an element with different ones, and any of them could be the wrong one.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>
#include <unordered_map>
#include <vector>

namespace scan {

struct AlignedPair {
    std::size_t i = 0;  // in the first sequence
    std::size_t j = 0;  // in the second
    bool fixed = false; // every longest alignment pairs i, and with j
};

// The bits set in a word, by halves: a build for any x86-64 processor has no instruction for it,
// and std::popcount would call a library function for every word.
inline std::uint32_t bitsSet(std::uint64_t word) {
    word = word - ((word >> 1) & 0x5555555555555555);
    word = (word & 0x3333333333333333) + ((word >> 2) & 0x3333333333333333);
    word = (word + (word >> 4)) & 0x0F0F0F0F0F0F0F0F;
    return static_cast<std::uint32_t>((word * 0x0101010101010101) >> 56);
}

// The distinct elements of a sequence, each numbered once: looked up by comparing each in turn
// while they are few (a gap's few functions against thousands), behind a filter of bits that
// turns most others away at once; else by hashing.
template <typename Value> class ElementIds {
public:
    std::uint32_t add(const Value& value) {
        if (const std::optional<std::uint32_t> known = find(value)) {
            return *known;
        }
        const auto id = static_cast<std::uint32_t>(values_.size());
        values_.push_back(value);
        const std::size_t bit = filterBit(value);
        filter_[bit / 64] |= std::uint64_t{1} << (bit % 64);
        if (values_.size() > fewest) {
            if (hashed_.empty()) {
                for (std::uint32_t k = 0; k < values_.size(); ++k) {
                    hashed_.emplace(values_[k], k);
                }
            } else {
                hashed_.emplace(value, id);
            }
        }
        return id;
    }
    std::optional<std::uint32_t> find(const Value& value) const {
        if (values_.size() > fewest) {
            const auto found = hashed_.find(value);
            return found != hashed_.end() ? std::optional(found->second) : std::nullopt;
        }
        const std::size_t bit = filterBit(value);
        if (((filter_[bit / 64] >> (bit % 64)) & 1) == 0) {
            return std::nullopt;
        }
        for (std::uint32_t k = 0; k < values_.size(); ++k) {
            if (values_[k] == value) {
                return k;
            }
        }
        return std::nullopt;
    }
    std::size_t size() const { return values_.size(); }

private:
    static std::size_t filterBit(const Value& value) {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(value) * 0x9E3779B97F4A7C15) >>
                                        54); // of 1 024
    }

    static constexpr std::size_t fewest = 16;
    std::uint64_t filter_[16] = {};
    std::vector<Value> values_;
    std::unordered_map<Value, std::uint32_t> hashed_;
};

// Every value of one table of longest common subsequences, LCS(x[0, i), y[0, j)) for each i and j,
// 64 cells a word: each row kept as the bits of the columns where its value does not grow, as
// Hyyro's bit-parallel recurrence finds them from the row before (a row's value at a column is
// the number of clear bits below it). x(i) and y(j) give the elements, which compare equal or
// not. The elements are numbered on the shorter side, so that a few against thousands cost a few
// lookups.
class LcsRows {
public:
    template <typename X, typename Y>
    LcsRows(std::size_t n, std::size_t m, X x, Y y)
        : words_(m / 64 + 1), bits_((n + 1) * words_, ~std::uint64_t{0}),
          ones_((n + 1) * (words_ + 1), 0), rowMatch_(n, none) {
        // The columns that hold each element, by its number; and each row's element's number.
        ElementIds<std::decay_t<decltype(x(0))>> ids;
        if (n <= m) {
            for (std::size_t i = 0; i < n; ++i) {
                rowMatch_[i] = ids.add(x(i));
            }
            matches_.assign(ids.size() * words_, 0);
            for (std::size_t j = 0; j < m; ++j) {
                if (const std::optional<std::uint32_t> id = ids.find(y(j))) {
                    matches_[*id * words_ + j / 64] |= std::uint64_t{1} << (j % 64);
                }
            }
        } else {
            std::vector<std::uint32_t> columnIds(m);
            for (std::size_t j = 0; j < m; ++j) {
                columnIds[j] = ids.add(y(j));
            }
            matches_.assign(ids.size() * words_, 0);
            for (std::size_t j = 0; j < m; ++j) {
                matches_[columnIds[j] * words_ + j / 64] |= std::uint64_t{1} << (j % 64);
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (const std::optional<std::uint32_t> id = ids.find(x(i))) {
                    rowMatch_[i] = *id;
                }
            }
        }
        const std::vector<std::uint64_t> nothing(words_, 0);
        countOnes(0);
        for (std::size_t i = 1; i <= n; ++i) {
            nextRow(bits_.data() + (i - 1) * words_,
                    rowMatch_[i - 1] != none ? matches_.data() + rowMatch_[i - 1] * words_
                                             : nothing.data(),
                    bits_.data() + i * words_, words_);
            countOnes(i);
        }
        columns_ = m;
    }

    // The row after `above`, for an element that the columns hold where `match` sets a bit.
    static void nextRow(const std::uint64_t* above, const std::uint64_t* match, std::uint64_t* row,
                        std::size_t words) {
        std::uint64_t carry = 0;
        for (std::size_t w = 0; w < words; ++w) {
            const std::uint64_t v = above[w];
            const std::uint64_t u = v & match[w];
            const std::uint64_t sum = v + u;
            const std::uint64_t total = sum + carry;
            carry = static_cast<std::uint64_t>(sum < v) | static_cast<std::uint64_t>(total < sum);
            row[w] = total | (v & ~match[w]);
        }
    }

    // LCS(x[0, i), y[0, j)).
    std::uint32_t operator()(std::size_t i, std::size_t j) const {
        const std::size_t word = j / 64;
        std::uint32_t ones = ones_[i * (words_ + 1) + word];
        if (j % 64 != 0) {
            ones += bitsSet(bits_[i * words_ + word] & ((std::uint64_t{1} << (j % 64)) - 1));
        }
        return static_cast<std::uint32_t>(j) - ones;
    }

    // Each column j, ascending, where LCS(x[0, i), y[0, j + 1)) is one more than at j.
    template <typename Each> void forEachGrowth(std::size_t i, Each each) const {
        forEachBit(bits_.data() + i * words_, true, each);
    }

    // Each column j, ascending, where y(j) equals x(i).
    template <typename Each> void forEachMatch(std::size_t i, Each each) const {
        if (rowMatch_[i] != none) {
            forEachBit(matches_.data() + rowMatch_[i] * words_, false, each);
        }
    }

private:
    static constexpr std::uint32_t none = UINT32_MAX;

    template <typename Each>
    void forEachBit(const std::uint64_t* row, bool clear, Each each) const {
        for (std::size_t w = 0; w < words_; ++w) {
            std::uint64_t word = clear ? ~row[w] : row[w];
            while (word != 0) {
                const std::size_t j = w * 64 + static_cast<std::size_t>(std::countr_zero(word));
                if (j >= columns_) {
                    return;
                }
                each(j);
                word &= word - 1;
            }
        }
    }

    void countOnes(std::size_t i) {
        std::uint32_t* ones = ones_.data() + i * (words_ + 1);
        for (std::size_t w = 0; w < words_; ++w) {
            ones[w + 1] = ones[w] + bitsSet(bits_[i * words_ + w]);
        }
    }

    std::size_t words_;
    std::size_t columns_ = 0;
    std::vector<std::uint64_t> bits_;    // n + 1 rows of words_
    std::vector<std::uint32_t> ones_;    // per row, the set bits before each of its words
    std::vector<std::uint64_t> matches_; // per element, the columns that hold it
    std::vector<std::uint32_t>
        rowMatch_; // per row, its element's number; none where no column holds it
};

// The pairs of one longest alignment of [0, n) and [0, m), ascending, where x(i) == y(j) pairs
// the first's i-th element with the second's j-th. Whether a pair is fixed is asked only where
// asked(i, j) says so (it costs a pass over the row); elsewhere fixed is false. Takes about
// (n + 1) * (m + 1) / 2 bytes: two tables of bits, one over the prefixes and one over the
// suffixes.
template <typename X, typename Y, typename Asked>
std::vector<AlignedPair> longestAlignment(std::size_t n, std::size_t m, X x, Y y, Asked asked) {
    const auto equal = [&](std::size_t i, std::size_t j) { return x(i) == y(j); };
    // Of the prefixes up to i and j; and after(i, j), of the suffixes from i and j.
    const LcsRows prefixes(n, m, x, y);
    const LcsRows suffixes(
        n, m, [&](std::size_t i) { return x(n - 1 - i); },
        [&](std::size_t j) { return y(m - 1 - j); });
    const auto after = [&](std::size_t i, std::size_t j) { return suffixes(n - i, m - j); };
    const std::uint32_t longest = n > 0 && m > 0 ? after(0, 0) : 0;
    // A longest alignment that leaves i without a partner passes from prefixes(i, q) to
    // after(i + 1, q) for some q; their sum, the length of that alignment, is largest where the
    // first has just grown (after(i + 1, q) never grows with q), so only there is it asked. One
    // that pairs i with another is asked at each other element equal to i's.
    const auto fixedAt = [&](std::size_t i, std::size_t j) {
        bool fixed = after(i + 1, 0) != longest;
        prefixes.forEachGrowth(i, [&](std::size_t q) {
            fixed = fixed && prefixes(i, q + 1) + after(i + 1, q + 1) != longest;
        });
        prefixes.forEachMatch(i, [&](std::size_t q) {
            fixed = fixed && (q == j || prefixes(i, q) + 1 + after(i + 1, q + 1) != longest);
        });
        return fixed;
    };
    std::vector<AlignedPair> pairs;
    for (std::size_t i = 0, j = 0; i < n && j < m;) {
        if (equal(i, j) && after(i, j) == after(i + 1, j + 1) + 1) {
            pairs.push_back({i, j, asked(i, j) && fixedAt(i, j)});
            ++i;
            ++j;
        } else if (after(i + 1, j) >= after(i, j + 1)) {
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

template <typename X, typename Y>
std::vector<AlignedPair> longestAlignment(std::size_t n, std::size_t m, X x, Y y) {
    return longestAlignment(n, m, x, y, [](std::size_t, std::size_t) { return true; });
}

// Only the length of the longest common subsequence: the bit-parallel rows one at a time, for
// a y of few distinct elements (mnemonics), their columns kept by element.
template <typename X, typename Y>
std::size_t longestCommonLength(std::size_t n, std::size_t m, X x, Y y) {
    const std::size_t words = m / 64 + 1;
    using Value = std::decay_t<decltype(y(0))>;
    std::unordered_map<Value, std::vector<std::uint64_t>> matches;
    for (std::size_t j = 0; j < m; ++j) {
        std::vector<std::uint64_t>& match = matches[y(j)];
        match.resize(words, 0);
        match[j / 64] |= std::uint64_t{1} << (j % 64);
    }
    const std::vector<std::uint64_t> none(words, 0);
    std::vector<std::uint64_t> row(words, ~std::uint64_t{0});
    std::vector<std::uint64_t> next(words);
    for (std::size_t i = 0; i < n; ++i) {
        const auto found = matches.find(x(i));
        LcsRows::nextRow(row.data(), found != matches.end() ? found->second.data() : none.data(),
                         next.data(), words);
        row.swap(next);
    }
    std::size_t ones = 0;
    for (std::size_t j = 0; j < m; ++j) {
        ones += (row[j / 64] >> (j % 64)) & 1;
    }
    return m - ones;
}

} // namespace scan
