// Loaded with LD_PRELOAD into a program under test: a file named Orvelin.cfg opens as usual, but
// reading it fails with an I/O error once 8 bytes have come, as a failing disk would.

#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

bool isConfigurationFile(int file) {
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", file);
    char target[4096];
    const ssize_t length = readlink(link, target, sizeof(target) - 1);
    if (length <= 0) {
        return false;
    }
    target[length] = '\0';
    const char* name = std::strrchr(target, '/');
    return name != nullptr && std::strcmp(name, "/Orvelin.cfg") == 0;
}

} // namespace

extern "C" __attribute__((visibility("default"))) ssize_t read(int file, void* buffer,
                                                               size_t count) {
    using Read = ssize_t (*)(int, void*, size_t);
    static const auto realRead = reinterpret_cast<Read>(dlsym(RTLD_NEXT, "read"));
    if (isConfigurationFile(file)) {
        const off_t at = lseek(file, 0, SEEK_CUR);
        if (at >= 8) {
            errno = EIO;
            return -1;
        }
        count = count < static_cast<size_t>(8 - at) ? count : static_cast<size_t>(8 - at);
    }
    return realRead(file, buffer, count);
}
