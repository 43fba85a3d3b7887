#include "platform/platform.hpp"
#include "platform/temporary_files.hpp"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// Opens for reading without ever waiting on a pipe or device; -1 unless a regular file opened.
int openRegularFile(const std::string& path) {
    const int file = open(nativePath(path).c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat status {};
    if (file >= 0 && (fstat(file, &status) != 0 || !S_ISREG(status.st_mode))) {
        close(file);
        return -1;
    }
    return file;
}

bool writeAll(int file, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const ssize_t written = write(file, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno != EINTR) {
            return false;
        }
        done += written > 0 ? static_cast<std::size_t>(written) : 0;
    }
    return true;
}

// Where a replacement goes: through a symbolic link to the file it names, so the link stays.
std::string replacementTarget(const std::string& path) {
    struct stat status {};
    if (lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode)) {
        if (char* resolved = realpath(path.c_str(), nullptr)) {
            std::string target = resolved;
            std::free(resolved);
            return target;
        }
    }
    return path;
}

// A rename is durable once the folder that holds the name is on the disk.
void syncFolderOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    const int handle = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (handle >= 0) {
        fsync(handle);
        close(handle);
    }
}

} // namespace

bool isReadableFile(const std::string& path) {
    const int file = openRegularFile(path);
    if (file < 0) {
        return false;
    }
    close(file);
    return true;
}

FileContent readWholeFile(const std::string& path) {
    const int file = openRegularFile(path);
    if (file < 0) {
        return {pathExists(path) ? FileState::unreadable : FileState::absent, {}};
    }
    FileContent content{FileState::read, {}};
    char block[65536];
    for (;;) {
        const ssize_t got = read(file, block, sizeof(block));
        if (got == 0) {
            break;
        }
        if (got < 0 && errno != EINTR) {
            content = {FileState::unreadable, {}};
            break;
        }
        content.bytes.append(block, got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    close(file);
    return content;
}

bool replaceFile(const std::string& path, const std::string& bytes) {
    const std::string target = replacementTarget(nativePath(path));
    struct stat old {};
    const bool replacing = stat(target.c_str(), &old) == 0;
    // rename() ignores the old file's own permissions: ask them first.
    if (replacing &&
        (!S_ISREG(old.st_mode) || faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)) {
        return false;
    }
    temporary_files::removeStale(target);
    const std::string temporary = temporary_files::pathFor(target, processId());
    unlink(temporary.c_str());
    const int file = open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file < 0) {
        return false;
    }
    if (replacing) {
        fchmod(file, old.st_mode & 07777);
        if ((old.st_uid != geteuid() || old.st_gid != getegid()) &&
            fchown(file, old.st_uid, old.st_gid) != 0) {
            // Only an administrator may give a file away; the permission bits still hold.
        }
    }
    bool written = writeAll(file, bytes) && fsync(file) == 0;
    written = close(file) == 0 && written;
    if (!written || rename(temporary.c_str(), target.c_str()) != 0) {
        unlink(temporary.c_str());
        return false;
    }
    syncFolderOf(target);
    return true;
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

std::uint64_t processId() {
    return static_cast<std::uint64_t>(getpid());
}

bool processRunning(std::uint64_t id) {
    if (id == 0 || id > static_cast<std::uint64_t>(INT_MAX)) {
        return false;
    }
    // Anything but "no such process" (a process of another user, say) counts as running.
    return kill(static_cast<pid_t>(id), 0) == 0 || errno != ESRCH;
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

void makeInaccessible(void* pages, std::size_t size) {
    mprotect(pages, size, PROT_NONE);
}

} // namespace platform
