#include "support.hpp"

#include "expected.hpp"

#include "loader/loader.hpp"
#include "platform/files.hpp"
#include "platform/process.hpp"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <new>
#if defined(_WIN32)
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace testing_support {

#if !defined(_WIN32)
namespace {

int exitStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

} // namespace
#endif

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
    return platform::lineEnd;
}

std::string builtModule() {
    return platform::executableDirectory() + ORVELIN_MODULE_FILE;
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
    // cmd.exe drops the outer quotes of a line that starts with one. Under Wine, with the other
    // test program busy, it has now and then failed to start the program at all (9009, "not
    // recognized"); no program of ours exits with that status, so that is tried again.
    int status = 9009;
    for (int attempt = 0; attempt < 3 && status == 9009; ++attempt) {
        status = std::system(("\"" + redirected + "\"").c_str());
    }
    return status;
#else
    return exitStatus(std::system(redirected.c_str()));
#endif
}

#if defined(_WIN32)
BackgroundProgram::BackgroundProgram(const std::string& commandLine,
                                     const std::string& outputFile) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output =
        CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    &inherited, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION process{};
    std::string line = commandLine;
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        handle_ = process.hProcess;
        id_ = process.dwProcessId;
    } else {
        ended_ = true;
    }
    CloseHandle(output);
}

void BackgroundProgram::kill() {
    if (!ended_) {
        TerminateProcess(handle_, 137);
    }
}

bool BackgroundProgram::finished() {
    if (!ended_ && WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0) {
        wait();
    }
    return ended_;
}

int BackgroundProgram::wait() {
    if (!ended_) {
        WaitForSingleObject(handle_, INFINITE);
        DWORD code = 0;
        GetExitCodeProcess(handle_, &code);
        CloseHandle(handle_);
        status_ = static_cast<int>(code);
        ended_ = true;
    }
    return status_;
}
#else
BackgroundProgram::BackgroundProgram(const std::string& commandLine,
                                     const std::string& outputFile) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const std::string line = "exec " + commandLine;
    const char* arguments[] = {"sh", "-c", line.c_str(), nullptr};
    pid_t child = 0;
    if (posix_spawn(&child, "/bin/sh", &actions, nullptr, const_cast<char* const*>(arguments),
                    environ) == 0) {
        id_ = static_cast<std::uint64_t>(child);
    } else {
        ended_ = true;
    }
    posix_spawn_file_actions_destroy(&actions);
}

void BackgroundProgram::kill() {
    if (!ended_) {
        ::kill(static_cast<pid_t>(id_), SIGKILL);
    }
}

bool BackgroundProgram::finished() {
    int status = 0;
    if (!ended_ && waitpid(static_cast<pid_t>(id_), &status, WNOHANG) > 0) {
        status_ = exitStatus(status);
        ended_ = true;
    }
    return ended_;
}

int BackgroundProgram::wait() {
    if (!ended_) {
        int status = 0;
        waitpid(static_cast<pid_t>(id_), &status, 0);
        status_ = exitStatus(status);
        ended_ = true;
    }
    return status_;
}
#endif

BackgroundProgram::~BackgroundProgram() {
    kill();
    wait();
}

bool administrator() {
#if defined(_WIN32)
    return false;
#else
    return geteuid() == 0;
#endif
}

std::string asAnotherUser(const std::string& commandLine) {
    // The unprivileged user every Debian system has.
    return administrator() ? "setpriv --reuid=65534 --regid=65534 --clear-groups " + commandLine
                           : commandLine;
}

bool isDirectory(const std::string& path) {
#if defined(_WIN32)
    const DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
#else
    struct stat status {};
    return stat(platform::nativePath(path).c_str(), &status) == 0 && S_ISDIR(status.st_mode);
#endif
}

void setEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str());
#else
    if (value.empty()) {
        unsetenv(name);
    } else {
        setenv(name, value.c_str(), 1);
    }
#endif
}

void makeInaccessible(void* pages, std::size_t size) {
#if defined(_WIN32)
    DWORD previous = 0;
    VirtualProtect(pages, size, PAGE_NOACCESS, &previous);
#else
    mprotect(pages, size, PROT_NONE);
#endif
}

namespace {

std::size_t roundUpToPages(std::size_t size) {
    return (size + pageSize - 1) / pageSize * pageSize;
}

} // namespace

GuardedBuffer::GuardedBuffer(std::size_t size)
    : mappingSize_(roundUpToPages(size) + pageSize), size_(size) {
    // Whole pages of their own, whatever the platform layer's allocation does in this build.
#if defined(_WIN32)
    mapping_ = VirtualAlloc(nullptr, mappingSize_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
#else
    mapping_ =
        mmap(nullptr, mappingSize_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping_ == MAP_FAILED) {
        mapping_ = nullptr;
    }
#endif
    if (mapping_ == nullptr) {
        throw std::bad_alloc();
    }
    unsigned char* guard = static_cast<unsigned char*>(mapping_) + mappingSize_ - pageSize;
    makeInaccessible(guard, pageSize);
    data_ = guard - size;
}

GuardedBuffer::~GuardedBuffer() {
#if defined(_WIN32)
    VirtualFree(mapping_, 0, MEM_RELEASE);
#else
    munmap(mapping_, mappingSize_);
#endif
}

} // namespace testing_support

namespace testing_support::expected {

std::string joined(const std::vector<std::string>& lines, const std::string& end) {
    std::string all;
    for (const std::string& line : lines) {
        all += line + (end.empty() ? lineEnd() : end);
    }
    return all;
}

std::string sessionLog(const std::string& end) {
    return joined(sessionLines, end);
}

std::string storedConfig(const std::string& floatText) {
    return "{" + lineEnd() + "    \"Float\": " + floatText + lineEnd() + "}";
}

std::string storedFloat(const std::string& file) {
    const std::size_t colon = file.find(':', file.find("\"Float\""));
    const std::size_t end = file.find_first_of(",}\r\n", colon);
    const std::size_t begin = file.find_first_not_of(' ', colon + 1);
    return colon == std::string::npos ? "" : file.substr(begin, end - begin);
}

std::string loaderFile() {
    return ORVELIN_LOADER_FILE;
}

} // namespace testing_support::expected

namespace testing_support {

std::string hostCommand(const std::string& arguments) {
    return "\"" + builtProgram("orvelin-host") + "\" " + arguments;
}

HostRun runHost(const std::string& arguments) {
    setEnvironment(SML::Host::traceVariable, "trace.txt");
    const int status = runProgram(hostCommand(arguments), "output.txt", "errors.txt");
    setEnvironment(SML::Host::traceVariable, "");
    return {status, readFile("output.txt"), readFile("errors.txt")};
}

ScanRun runScan(const std::string& arguments) {
    const int status = runProgram("\"" + builtProgram("orvelin-scan") + "\" " + arguments,
                                  "scan-output.txt", "scan-errors.txt");
    ScanRun run{status, readFile("scan-output.txt"), readFile("scan-errors.txt")};
    std::erase(run.output, '\r');
    std::erase(run.errors, '\r');
    return run;
}

} // namespace testing_support
