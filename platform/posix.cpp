#include "platform/platform.hpp"

#include <dlfcn.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace platform {

std::string nativePath(const std::string& path) {
    std::string native = path;
    std::replace(native.begin(), native.end(), '\\', '/');
    return native;
}

bool makeDirectory(const std::string& path) {
    return mkdir(nativePath(path).c_str(), 0777) == 0;
}

bool pathExists(const std::string& path) {
    struct stat status {};
    return stat(nativePath(path).c_str(), &status) == 0;
}

bool isDirectory(const std::string& path) {
    struct stat status {};
    return stat(nativePath(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
}

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

bool stdoutIsConsole() {
    return isatty(STDOUT_FILENO) == 1;
}

bool setConsoleAttribute(int) {
    return false;
}

void* loadLibrary(const std::string& path, std::string& error) {
    void* library = dlopen(nativePath(path).c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* reason = dlerror();
        error = reason != nullptr ? reason : "unknown error";
    }
    return library;
}

void* librarySymbol(void* library, const char* name) {
    return dlsym(library, name);
}

void freeLibrary(void* library) {
    dlclose(library);
}

std::string executableDirectory() {
    std::string path(PATH_MAX, '\0');
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
    path.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    return path.substr(0, path.find_last_of('/') + 1);
}

void setEnvironment(const char* name, const std::string& value) {
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
}

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

const char* pluginFileName() {
    return "Orvelin.so";
}

} // namespace platform
