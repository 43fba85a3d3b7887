#pragma once
// Memory straight from the system, and how much the process uses.

#include <cstddef>
#include <cstdint>

namespace platform {

// The process's resident memory now and at its peak, in bytes (zero where unknown).
struct MemoryUse {
    std::uint64_t resident = 0;
    std::uint64_t peak = 0;
};
MemoryUse memoryUse();

// Zero-filled pages straight from the system (on Linux asked to be backed by huge pages, whose
// faults cost far less on a large buffer; ordinary pages on Windows); null when there is none.
// Free with the same size.
void* allocatePages(std::size_t size);
void freePages(void* pages, std::size_t size);

} // namespace platform
