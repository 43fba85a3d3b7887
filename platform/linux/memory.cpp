#include "platform/memory.hpp"

#include <sys/mman.h>

#include <cstdlib>
#include <fstream>

namespace platform {

MemoryUse memoryUse() {
    MemoryUse use;
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        const std::uint64_t kib = std::strtoull(line.c_str() + line.find(':') + 1, nullptr, 10);
        if (line.rfind("VmRSS:", 0) == 0) {
            use.resident = kib * 1024;
        } else if (line.rfind("VmHWM:", 0) == 0) {
            use.peak = kib * 1024;
        }
    }
    return use;
}

#if defined(__SANITIZE_ADDRESS__)
#define ORVELIN_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ORVELIN_ADDRESS_SANITIZER 1
#endif
#endif

#if defined(ORVELIN_ADDRESS_SANITIZER)
// Under AddressSanitizer the memory comes from its heap, so that a write past the end is reported
// rather than landing in whatever the next page holds.
void* allocatePages(std::size_t size) {
    return std::calloc(size == 0 ? 1 : size, 1);
}

void freePages(void* pages, std::size_t) {
    std::free(pages);
}
#else
void* allocatePages(std::size_t size) {
    void* pages = mmap(nullptr, size == 0 ? 1 : size, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) {
        return nullptr;
    }
    // Faults on large buffers cost far more in small pages.
    madvise(pages, size, MADV_HUGEPAGE);
    return pages;
}

void freePages(void* pages, std::size_t size) {
    if (pages != nullptr) {
        munmap(pages, size == 0 ? 1 : size);
    }
}
#endif

} // namespace platform
