#include "platform/process.hpp"
#include "platform/files.hpp"

#include <dlfcn.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace platform {

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

} // namespace platform
