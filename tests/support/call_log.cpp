// Loaded with LD_PRELOAD into a program under test: each fsync, fdatasync and rename is appended,
// in the order made, to the file ORVELIN_CALL_LOG names ("fsync <file's path>", "rename <from>
// <to>"), then made as usual. What a save flushes, and when, shows no other way: the page cache
// outlives a killed process.

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void logCall(const std::string& line) {
    const char* log = std::getenv("ORVELIN_CALL_LOG");
    if (log == nullptr) {
        return;
    }
    const int file = open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (file >= 0) {
        const std::string text = line + "\n";
        [[maybe_unused]] const ssize_t written = write(file, text.data(), text.size());
        close(file);
    }
}

std::string pathOf(int file) {
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", file);
    char target[4096];
    const ssize_t length = readlink(link, target, sizeof(target) - 1);
    return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : "?";
}

template <typename Function> Function real(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" __attribute__((visibility("default"))) int fsync(int file) {
    static const auto next = real<int (*)(int)>("fsync");
    logCall("fsync " + pathOf(file));
    return next(file);
}

extern "C" __attribute__((visibility("default"))) int fdatasync(int file) {
    static const auto next = real<int (*)(int)>("fdatasync");
    logCall("fsync " + pathOf(file));
    return next(file);
}

extern "C" __attribute__((visibility("default"))) int rename(const char* from, const char* to) {
    static const auto next = real<int (*)(const char*, const char*)>("rename");
    logCall(std::string("rename ") + from + " " + to);
    return next(from, to);
}
