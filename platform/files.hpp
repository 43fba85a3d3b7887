#pragma once
// Files, as the plug-in, the loader and the tools use them. Paths are given as the plug-in writes
// them: relative, with the backslash as separator.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace platform {

// The path as the operating system takes it (on POSIX every backslash becomes a slash).
std::string nativePath(const std::string& path);

// _mkdir: creates one directory level; false when it fails or already exists.
bool makeDirectory(const std::string& path);

// Something (file, directory, ...) stands at the path.
bool pathExists(const std::string& path);

// The line end that text files of this platform use ("\r\n" on Windows).
#if defined(_WIN32)
inline constexpr const char* lineEnd = "\r\n";
#else
inline constexpr const char* lineEnd = "\n";
#endif

// A regular file stands at the path and opens for reading. Never blocks: a pipe, device, socket
// or folder at the path is no readable file.
bool isReadableFile(const std::string& path);

// A regular file open for reading at any offset, opened once (never waiting on a pipe or device:
// anything else at the path does not open).
class ReadableFile {
public:
    static std::optional<ReadableFile> open(const std::string& path);
    ~ReadableFile();
    ReadableFile(ReadableFile&& other) noexcept;
    ReadableFile& operator=(ReadableFile&&) = delete;
    ReadableFile(const ReadableFile&) = delete;
    ReadableFile& operator=(const ReadableFile&) = delete;

    std::uint64_t size() const { return size_; }
    // Copies count bytes from offset; false when they cannot all be read.
    bool read(std::uint64_t offset, std::size_t count, unsigned char* destination) const;

private:
    ReadableFile(std::intptr_t handle, std::uint64_t size) : handle_(handle), size_(size) {}
    std::intptr_t handle_;
    std::uint64_t size_;
};

// A whole regular file, read as bytes. Anything that stopped the read (no regular file, an open
// or a read that failed) makes it unreadable, never shorter; absent means nothing stands there.
enum class FileState { absent, unreadable, read };
struct FileContent {
    FileState state = FileState::absent;
    std::string bytes;
};
FileContent readWholeFile(const std::string& path);

// Puts bytes at the path so that at every instant the path holds either its complete old file or
// the complete new one: the bytes go to a temporary file of this process in the same folder,
// reach the disk, and then take the old file's place in one step. A file this process may not
// write, or anything that is no regular file, is not replaced. The new file keeps the old one's
// permissions (attributes and security on Windows). The temporary never outlives a failure, and
// temporaries left by processes that died are removed. False when the path was not replaced.
bool replaceFile(const std::string& path, const std::string& bytes);

} // namespace platform
