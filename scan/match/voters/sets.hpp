#pragma once
// A function's uses (constants, imports) taken together as one key: the hash of the set.

#include "scan/match/build_functions.hpp"

#include <cstdint>
#include <vector>

namespace scan {

// For each function of the build, the hash of the set of contents it uses and how many; uses
// ordered by function (as the reader leaves them).
struct UseSets {
    std::vector<std::uint64_t> key;
    std::vector<std::uint32_t> size;
};

inline UseSets useSetsOf(const std::vector<DataUse>& uses, std::size_t functions) {
    UseSets sets{std::vector<std::uint64_t>(functions, 0x9E3779B97F4A7C15),
                 std::vector<std::uint32_t>(functions, 0)};
    for (const DataUse& use : uses) {
        std::uint64_t& key = sets.key[use.function];
        key = (key ^ use.content) * 0x100000001B3;
        key ^= key >> 29;
        ++sets.size[use.function];
    }
    return sets;
}

} // namespace scan
