#pragma once
// The running process and others: its environment and id, whether another is running, the folder
// of its executable, and dynamic libraries (which the host runner loads the plug-in with).

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

std::optional<std::string> environment(const char* name);

// This process's id, and whether a process with the given id is running now (anyone's).
std::uint64_t processId();
bool processRunning(std::uint64_t id);

// Folder holding the running executable, with a trailing separator.
std::string executableDirectory();

void* loadLibrary(const std::string& path, std::string& error);
void* librarySymbol(void* library, const char* name);
void freeLibrary(void* library);

} // namespace platform
