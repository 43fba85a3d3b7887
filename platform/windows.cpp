#include "platform/platform.hpp"

#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <windows.h>

#include <direct.h>
#include <psapi.h>

#include <cstdlib>

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

bool isDirectory(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

std::optional<ModuleImage> mainModuleImage() {
    HMODULE module = GetModuleHandleW(nullptr);
    MODULEINFO info{};
    if (module == nullptr ||
        !K32GetModuleInformation(GetCurrentProcess(), module, &info, sizeof(info))) {
        return std::nullopt;
    }
    return ModuleImage{static_cast<const unsigned char*>(info.lpBaseOfDll),
                       static_cast<std::uint32_t>(info.SizeOfImage)};
}

bool stdoutIsConsole() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool setConsoleAttribute(int colour) {
    return SetConsoleTextAttribute(GetStdHandle(STD_OUTPUT_HANDLE), static_cast<WORD>(colour)) != 0;
}

void* loadLibrary(const std::string& path, std::string& error) {
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error = "Windows error " + std::to_string(GetLastError());
    }
    return reinterpret_cast<void*>(module);
}

void* librarySymbol(void* library, const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void freeLibrary(void* library) {
    FreeLibrary(static_cast<HMODULE>(library));
}

std::string executableDirectory() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return path.substr(0, path.find_last_of("\\/") + 1);
}

void setEnvironment(const char* name, const std::string& value) {
    _putenv_s(name, value.c_str());
}

MemoryUse memoryUse() {
    PROCESS_MEMORY_COUNTERS counters{};
    if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) {
        return {};
    }
    return {counters.WorkingSetSize, counters.PeakWorkingSetSize};
}

void* allocatePages(std::size_t size) {
    return VirtualAlloc(nullptr, size == 0 ? 1 : size, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freePages(void* pages, std::size_t) {
    if (pages != nullptr) {
        VirtualFree(pages, 0, MEM_RELEASE);
    }
}

const char* pluginFileName() {
    return "Orvelin.dll";
}

} // namespace platform
