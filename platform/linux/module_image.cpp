#include "platform/module_image.hpp"

#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace platform {

namespace {

struct Range {
    std::uintptr_t begin = 0;
    std::uintptr_t end = 0;
};

// Span of the main program's loadable segments: the first object dl_iterate_phdr reports.
int mainProgramSpan(dl_phdr_info* info, size_t, void* data) {
    Range span{UINTPTR_MAX, 0};
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD) {
            span.begin = std::min<std::uintptr_t>(span.begin, info->dlpi_addr + header.p_vaddr);
            span.end = std::max<std::uintptr_t>(span.end,
                                                info->dlpi_addr + header.p_vaddr + header.p_memsz);
        }
    }
    *static_cast<Range*>(data) = span;
    return 1;
}

// Unlike a Windows image, the segments of an ELF program may have unmapped or unreadable holes
// between them: keep only the readable stretch that starts at the load address.
std::uintptr_t readableEnd(std::uintptr_t begin, std::uintptr_t end) {
    std::ifstream maps("/proc/self/maps");
    std::uintptr_t reached = begin;
    std::string line;
    while (std::getline(maps, line)) {
        const std::uintptr_t from = std::strtoull(line.c_str(), nullptr, 16);
        const std::uintptr_t to = std::strtoull(line.c_str() + line.find('-') + 1, nullptr, 16);
        const char read = line[line.find(' ') + 1];
        if (to <= reached) {
            continue;
        }
        if (from > reached || read != 'r') {
            break;
        }
        reached = to;
    }
    return std::min(reached, end);
}

} // namespace

std::optional<ModuleImage> mainModuleImage() {
    Range span;
    dl_iterate_phdr(mainProgramSpan, &span);
    if (span.end <= span.begin) {
        return std::nullopt;
    }
    const std::uintptr_t end = readableEnd(span.begin, span.end);
    if (end <= span.begin || end - span.begin > UINT32_MAX) {
        return std::nullopt;
    }
    return ModuleImage{reinterpret_cast<const unsigned char*>(span.begin),
                       static_cast<std::uint32_t>(end - span.begin)};
}

} // namespace platform
