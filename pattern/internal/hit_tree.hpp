#pragma once
// Whether all of a step's hits are empty, joined as a tree rather than a chain of dependent ORs.
// Written over any Join (Hits, either, none, noneOf), so that the same tree runs on the kernels'
// vector masks and, in the tests, on plain integers: a slip in a join that only the widest kernel
// reaches still fails on a processor without it.

#include <cstddef>

namespace pattern_scan {

// Join: Hits, either (of two), none (of one), noneOf (two). Overwrites all.
template <typename Join, std::size_t Count> bool noneIn(typename Join::Hits* all) {
    static_assert(Count >= 1);
    if constexpr (Count == 1) {
        return Join::none(all[0]);
    } else if constexpr (Count == 2) {
        return Join::noneOf(all[0], all[1]);
    } else {
#pragma GCC unroll 4
        for (std::size_t j = 0; j < Count / 2; ++j) {
            all[j] = Join::either(all[2 * j], all[2 * j + 1]);
        }
        if constexpr (Count % 2 != 0) {
            all[Count / 2] = all[Count - 1];
        }
        return noneIn<Join, (Count + 1) / 2>(all);
    }
}

} // namespace pattern_scan
