#pragma once
// Other pattern scanners, timed on the same bytes as the scan, where they are installed: libhat
// with its x86-64 hint (each pattern its own call) and Hyperscan (one database of all patterns).
// Neither is a dependency of the plug-in or the tool; the benchmark is built with each only where
// CMake finds it.

#include "pattern/pattern.hpp"

#include <cstddef>
#include <span>

namespace peers {

// Seconds for `repeats` scans of [code, code + size), each pattern alone and all of them
// together; available false where the peer is not built in. Each scan must find every pattern
// at or after plantedFrom.
struct Times {
    bool available = false;
    double alone[3] = {};
    double together = 0;
};

Times timeLibhat(std::span<const BytePattern> patterns, const unsigned char* code, std::size_t size,
                 int repeats, const unsigned char* plantedFrom);
Times timeHyperscan(std::span<const BytePattern> patterns, const unsigned char* code,
                    std::size_t size, int repeats, const unsigned char* plantedFrom);

} // namespace peers
