#include "support.hpp"

#include "host/loader.hpp"
#include "platform/platform.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace testing_support {

ScratchFolder::ScratchFolder(const std::string& name)
    : previous_(fs::current_path().string()),
      path_((fs::current_path() / "scratch" / name).string()) {
    fs::remove_all(path_);
    fs::create_directories(path_);
    fs::current_path(path_);
}

ScratchFolder::~ScratchFolder() {
    fs::current_path(previous_);
}

Capture::Capture()
    : previousConsole_(std::cout.rdbuf(console_.rdbuf())),
      previousFile_(static_cast<std::ostream&>(SML::Utility::logFile).rdbuf(file_.rdbuf())) {
    SML::Host::setTraceSink([this](const std::string& line) {
        steps_.push_back({line, console_.str(), file_.str()});
    });
}

Capture::~Capture() {
    SML::Host::setTraceSink({});
    std::cout.rdbuf(previousConsole_);
    static_cast<std::ostream&>(SML::Utility::logFile).rdbuf(previousFile_);
}

std::vector<std::string> Capture::operations() const {
    std::vector<std::string> names;
    for (const Step& step : steps_) {
        names.push_back(step.operation);
    }
    return names;
}

std::string readFile(const std::string& path) {
    std::ifstream in(platform::nativePath(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(platform::nativePath(path), std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::string lineEnd() {
#if defined(_WIN32)
    return "\r\n";
#else
    return "\n";
#endif
}

std::string builtProgram(const std::string& name) {
#if defined(_WIN32)
    return platform::executableDirectory() + name + ".exe";
#else
    return platform::executableDirectory() + name;
#endif
}

int runProgram(const std::string& commandLine, const std::string& outputFile,
               const std::string& errorFile) {
    std::cout.flush();
    const std::string redirected =
        commandLine + " > \"" + outputFile + "\" 2> \"" + errorFile + "\"";
#if defined(_WIN32)
    // cmd.exe drops the outer quotes of a line that starts with one.
    return std::system(("\"" + redirected + "\"").c_str());
#else
    const int status = std::system(redirected.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
#endif
}

namespace {

constexpr std::size_t pageSize = 4096;

std::size_t roundUpToPages(std::size_t size) {
    return (size + pageSize - 1) / pageSize * pageSize;
}

} // namespace

GuardedBuffer::GuardedBuffer(std::size_t size)
    : mappingSize_(roundUpToPages(size) + pageSize), size_(size) {
#if defined(_WIN32)
    mapping_ = VirtualAlloc(nullptr, mappingSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD previous = 0;
    VirtualProtect(static_cast<char*>(mapping_) + mappingSize_ - pageSize, pageSize, PAGE_NOACCESS,
                   &previous);
#else
    mapping_ =
        mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    mprotect(static_cast<char*>(mapping_) + mappingSize_ - pageSize, pageSize, PROT_NONE);
#endif
    data_ = static_cast<unsigned char*>(mapping_) + (mappingSize_ - pageSize - size);
}

GuardedBuffer::~GuardedBuffer() {
#if defined(_WIN32)
    VirtualFree(mapping_, 0, MEM_RELEASE);
#else
    munmap(mapping_, mappingSize_);
#endif
}

} // namespace testing_support
