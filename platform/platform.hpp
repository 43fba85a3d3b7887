#pragma once
// The few operating-system services the project needs, behind one interface so that the same
// code runs as a Windows DLL and natively on POSIX. Paths are given as the plug-in writes them:
// relative, with the backslash as separator.

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
bool isDirectory(const std::string& path);

// The line end that text files of this platform use ("\r\n" on Windows).
#if defined(_WIN32)
inline constexpr const char* lineEnd = "\r\n";
#else
inline constexpr const char* lineEnd = "\n";
#endif

// A regular file stands at the path and opens for reading. Never blocks: a pipe, device, socket
// or folder at the path is no readable file.
bool isReadableFile(const std::string& path);

// A whole regular file, read as bytes. Anything that stopped the read (no regular file, an open
// or a read that failed) makes it unreadable, never shorter.
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

// The main executable's image in memory: its load address and size. Every byte of the range is
// readable. Empty when the module information cannot be read.
struct ModuleImage {
    const unsigned char* base = nullptr;
    std::uint32_t size = 0;
};
std::optional<ModuleImage> mainModuleImage();

// Console: standard output is an interactive console or terminal.
bool stdoutIsConsole();
// Sets the console's text attribute (Windows); false where there is no such attribute to set.
bool setConsoleAttribute(int colour);

// Dynamic libraries, for the host runner.
void* loadLibrary(const std::string& path, std::string& error);
void* librarySymbol(void* library, const char* name);
void freeLibrary(void* library);

// Folder holding the running executable, with a trailing separator.
std::string executableDirectory();

std::optional<std::string> environment(const char* name);

// This process's id, and whether a process with the given id is running now.
std::uint64_t processId();
bool processRunning(std::uint64_t id);
void setEnvironment(const char* name, const std::string& value);

// The process's resident memory now and at its peak, in bytes (zero where unknown).
struct MemoryUse {
    std::uint64_t resident = 0;
    std::uint64_t peak = 0;
};
MemoryUse memoryUse();

// Zero-filled memory straight from the system, in large pages where it offers them; null when
// there is none. Free with the same size.
void* allocatePages(std::size_t size);
void freePages(void* pages, std::size_t size);
// Makes whole pages of such memory inaccessible: any read or write there faults.
inline constexpr std::size_t pageSize = 4096;
void makeInaccessible(void* pages, std::size_t size);

} // namespace platform
