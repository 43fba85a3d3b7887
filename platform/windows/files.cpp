#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <windows.h>

#include "platform/files.hpp"
#include "platform/process.hpp"
#include "platform/temporary_files.hpp"

#include <aclapi.h>
#include <direct.h>

#include <algorithm>
#include <cstdlib>
#include <utility>

namespace platform {

std::string nativePath(const std::string& path) {
    return path;
}

bool makeDirectory(const std::string& path) {
    return _mkdir(path.c_str()) == 0;
}

bool pathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

namespace {

// Every other opener may read, write, rename or delete meanwhile: no sharing restriction.
constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE openRegularFile(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, shareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE && GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

bool writeAll(HANDLE file, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
        const DWORD chunk =
            static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
        DWORD written = 0;
        if (!WriteFile(file, bytes.data() + done, chunk, &written, nullptr) || written == 0) {
            return false;
        }
        done += written;
    }
    return true;
}

// What the player set on the old file, given to its replacement: the attributes that say how to
// show and keep it, and its access rules.
void copyAttributesAndSecurity(const std::string& from, const std::string& to, DWORD attributes) {
    constexpr DWORD kept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                           FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    if ((attributes & kept) != 0) {
        SetFileAttributesA(to.c_str(), attributes & kept);
    }
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(from.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &access, nullptr, &descriptor) != ERROR_SUCCESS) {
        return;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    const SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                                 ? PROTECTED_DACL_SECURITY_INFORMATION
                                                 : UNPROTECTED_DACL_SECURITY_INFORMATION;
    std::string target = to;
    SetNamedSecurityInfoA(target.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance,
                          nullptr, nullptr, access, nullptr);
    LocalFree(descriptor);
}

// A reader that does not share deletion holds the old file in place: retry for about 50 ms in
// all (by the clock, as a sleep may last a whole timer tick), then leave the old file.
bool moveOver(const std::string& from, const std::string& to) {
    const ULONGLONG giveUp = GetTickCount64() + 50;
    for (;;) {
        if (MoveFileExA(from.c_str(), to.c_str(),
                        MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return true;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) ||
            GetTickCount64() >= giveUp) {
            return false;
        }
        Sleep(1);
    }
}

} // namespace

bool isReadableFile(const std::string& path) {
    HANDLE file = openRegularFile(path);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(file);
    return true;
}

std::optional<ReadableFile> ReadableFile::open(const std::string& path) {
    HANDLE file = openRegularFile(path);
    LARGE_INTEGER size{};
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) {
        if (file != INVALID_HANDLE_VALUE) {
            CloseHandle(file);
        }
        return std::nullopt;
    }
    return ReadableFile(reinterpret_cast<std::intptr_t>(file),
                        static_cast<std::uint64_t>(size.QuadPart));
}

ReadableFile::~ReadableFile() {
    if (handle_ != reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE)) {
        CloseHandle(reinterpret_cast<HANDLE>(handle_));
    }
}

ReadableFile::ReadableFile(ReadableFile&& other) noexcept
    : handle_(std::exchange(other.handle_, reinterpret_cast<std::intptr_t>(INVALID_HANDLE_VALUE))),
      size_(other.size_) {}

bool ReadableFile::read(std::uint64_t offset, std::size_t count, unsigned char* destination) const {
    for (std::size_t done = 0; done < count;) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(count - done, 1u << 30));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>((offset + done) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(handle_), destination + done, chunk, &got, &at) ||
            got == 0) {
            return false;
        }
        done += got;
    }
    return true;
}

FileContent readWholeFile(const std::string& path) {
    HANDLE file = openRegularFile(path);
    if (file == INVALID_HANDLE_VALUE) {
        return {pathExists(path) ? FileState::unreadable : FileState::absent, {}};
    }
    FileContent content{FileState::read, {}};
    char block[65536];
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, block, sizeof(block), &got, nullptr)) {
            content = {FileState::unreadable, {}};
            break;
        }
        if (got == 0) {
            break;
        }
        content.bytes.append(block, got);
    }
    CloseHandle(file);
    return content;
}
bool replaceFile(const std::string& path, const std::string& bytes) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    const bool replacing = attributes != INVALID_FILE_ATTRIBUTES;
    if (replacing) {
        // A rename would go past the read-only attribute and the file's own access rules.
        if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY)) != 0) {
            return false;
        }
        HANDLE probe = CreateFileA(path.c_str(), GENERIC_WRITE, shareAll, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
        if (probe == INVALID_HANDLE_VALUE) {
            return false;
        }
        const bool regular = GetFileType(probe) == FILE_TYPE_DISK;
        CloseHandle(probe);
        if (!regular) {
            return false;
        }
    }
    temporary_files::removeStale(path);
    const std::string temporary =
        temporary_files::pathFor(path, processId(), temporary_files::nextSerial());
    DeleteFileA(temporary.c_str());
    HANDLE file = CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    bool written = writeAll(file, bytes) && FlushFileBuffers(file);
    written = CloseHandle(file) && written;
    if (written && replacing) {
        copyAttributesAndSecurity(path, temporary, attributes);
    }
    if (!written || !moveOver(temporary, path)) {
        DeleteFileA(temporary.c_str());
        return false;
    }
    return true;
}

} // namespace platform
