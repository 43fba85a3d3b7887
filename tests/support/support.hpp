#pragma once
// What the tests, fuzzers and benchmark share: a fresh folder to stand in, capture of both log
// sinks and the loader's trace, whole-file reads and writes, running the build's own programs,
// and buffers that end at an inaccessible page.

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

namespace testing_support {

// Makes a fresh, empty folder below the working directory and makes it the working directory
// until destroyed.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }

private:
    std::string previous_;
    std::string path_;
};

// Takes over standard output, the loader's log file and the trace while it lives. Each trace
// line is recorded together with what both sinks held at that moment.
class Capture {
public:
    struct Step {
        std::string operation;
        std::string console;
        std::string file;
    };

    Capture();
    ~Capture();
    Capture(const Capture&) = delete;
    Capture& operator=(const Capture&) = delete;

    std::string console() const { return console_.str(); }
    std::string file() const { return file_.str(); }
    const std::vector<Step>& steps() const { return steps_; }
    std::vector<std::string> operations() const;

private:
    std::ostringstream console_;
    std::ostringstream file_;
    std::streambuf* previousConsole_;
    std::streambuf* previousFile_;
    std::vector<Step> steps_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// The line end the platform's text-mode streams write.
std::string lineEnd();

// Path of the plug-in module built beside the test program.
std::string builtModule();

// Path of a program built beside the test program (".exe" is added on Windows).
std::string builtProgram(const std::string& name);

// Runs a command line in the working directory through the system's shell, with standard output
// and errors sent to the named files; returns the exit status.
int runProgram(const std::string& commandLine, const std::string& outputFile,
               const std::string& errorFile);

// A program started in the background, with standard output and errors sent to a file; killed
// when destroyed if it still runs.
class BackgroundProgram {
public:
    BackgroundProgram(const std::string& commandLine, const std::string& outputFile);
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    std::uint64_t id() const { return id_; }
    // Ends it at once, as a crash or the task manager would.
    void kill();
    // Its exit status, once it has ended.
    int wait();
    // It has ended (its status is then kept for wait).
    bool finished();

private:
    std::uint64_t id_ = 0;
    void* handle_ = nullptr;
    bool ended_ = false;
    int status_ = -1;
};

// orvelin-host's command line with the arguments, and a session of it played in the working
// directory (the game folder) with the loader's trace going to trace.txt.
std::string hostCommand(const std::string& arguments = "");
struct HostRun {
    int status;
    std::string output;
    std::string errors;
};
HostRun runHost(const std::string& arguments = "");

// orvelin-scan run in the working directory with the arguments: its exit status and what it
// printed, each line ended with a bare line feed in both builds.
struct ScanRun {
    int status;
    std::string output;
    std::string errors;
};
ScanRun runScan(const std::string& arguments);

// The tests run as the administrator (root), whom file permissions do not stop (never on Windows).
bool administrator();
// The command line, run with another user's ids when the tests run as the administrator;
// otherwise unchanged.
std::string asAnotherUser(const std::string& commandLine);

// A directory stands at the path.
bool isDirectory(const std::string& path);

// Sets an environment variable of this process; an empty value removes it.
void setEnvironment(const char* name, const std::string& value);

// Makes whole pages of a mapping inaccessible: any read or write there faults.
inline constexpr std::size_t pageSize = 4096;
void makeInaccessible(void* pages, std::size_t size);

// Bytes that end exactly where an inaccessible page begins: reading past the end faults.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t size);
    ~GuardedBuffer();
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    unsigned char* data() { return data_; }
    std::size_t size() const { return size_; }

private:
    void* mapping_;
    std::size_t mappingSize_;
    unsigned char* data_;
    std::size_t size_;
};

} // namespace testing_support
