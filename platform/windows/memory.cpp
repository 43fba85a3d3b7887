#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <windows.h>

#include "platform/memory.hpp"

#include <psapi.h>

namespace platform {

MemoryUse memoryUse() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        return {};
    }
    return {counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

void* allocatePages(std::size_t size) {
    return VirtualAlloc(nullptr, size == 0 ? 1 : size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freePages(void* pages, std::size_t) {
    if (pages != nullptr) {
        VirtualFree(pages, 0, MEM_RELEASE);
    }
}

} // namespace platform
