#include "platform/files.hpp"
#include "platform/process.hpp"
#include "platform/temporary_files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <utility>

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

std::optional<ReadableFile> ReadableFile::open(const std::string& path) {
    const int file = openRegularFile(path);
    struct stat status {};
    if (file < 0 || fstat(file, &status) != 0) {
        if (file >= 0) {
            close(file);
        }
        return std::nullopt;
    }
    return ReadableFile(file, static_cast<std::uint64_t>(status.st_size));
}

ReadableFile::~ReadableFile() {
    if (handle_ >= 0) {
        close(static_cast<int>(handle_));
    }
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)), size_(other.size_) {}

bool ReadableFile::read(std::uint64_t offset, std::size_t count, unsigned char* destination) const {
    for (std::size_t done = 0; done < count;) {
        const ssize_t got = pread(static_cast<int>(handle_), destination + done, count - done,
                                  static_cast<off_t>(offset + done));
        if (got == 0 || (got < 0 && errno != EINTR)) {
            return false;
        }
        done += got > 0 ? static_cast<std::size_t>(got) : 0;
    }
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
    const std::string temporary =
        temporary_files::pathFor(target, processId(), temporary_files::nextSerial());
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

} // namespace platform
