#pragma once
// Values grouped by a small key (a function's index), each group in the order given: built by
// counting, so a large build's millions of values are placed without hashing, and a group is read
// as one span.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace scan {

class Grouped {
public:
    // eachValue(place) calls place(key, value) for every value, each key below keys; it is asked
    // twice, once to count and once to place.
    template <typename EachValue> void build(std::size_t keys, EachValue eachValue) {
        first_.assign(keys + 1, 0);
        eachValue([&](std::uint32_t key, std::uint32_t) { ++first_[key + 1]; });
        for (std::size_t n = 1; n <= keys; ++n) {
            first_[n] += first_[n - 1];
        }
        values_.resize(first_[keys]);
        next_.assign(first_.begin(), first_.end() - 1);
        eachValue([&](std::uint32_t key, std::uint32_t value) { values_[next_[key]++] = value; });
    }
    std::span<const std::uint32_t> of(std::size_t key) const {
        return {values_.data() + first_[key], values_.data() + first_[key + 1]};
    }
    std::span<std::uint32_t> of(std::size_t key) {
        return {values_.data() + first_[key], values_.data() + first_[key + 1]};
    }

private:
    std::vector<std::uint32_t> first_;
    std::vector<std::uint32_t> next_;
    std::vector<std::uint32_t> values_;
};

} // namespace scan
