// The player's configuration file through faults in the game folder, each in a real session of
// the runner with the real plug-in module: the session completes and nothing stored is destroyed.

#include "expected.hpp"
#include "loader/loader.hpp"
#include "orvelin_version.hpp"
#include "platform/files.hpp"
#include "platform/process.hpp"
#include "platform/temporary_files.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <sstream>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

using testing_support::hostCommand;
using testing_support::HostRun;
using testing_support::lineEnd;
using testing_support::runHost;
namespace expected = testing_support::expected;
using testing_support::readFile;
using testing_support::ScratchFolder;
using testing_support::writeFile;

namespace {

namespace fs = std::filesystem;

class ConfigFileFault : public ::testing::Test {
protected:
    ScratchFolder game{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

// Faults in the game folder: the session completes and nothing stored is destroyed.

TEST_F(ConfigFileFault, AFileWhereTheConfigurationFolderShouldBe) {
    writeFile("config", "somebody's file");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile(SML::Host::logFileName), expected::sessionLog());
    EXPECT_EQ(readFile("config"), "somebody's file");
}

TEST_F(ConfigFileFault, AFolderWhereTheConfigurationFileShouldBe) {
    fs::create_directories("config/Orvelin.cfg/kept");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile(SML::Host::logFileName), expected::sessionLog());
    EXPECT_TRUE(fs::is_directory("config/Orvelin.cfg/kept"));
}

TEST_F(ConfigFileFault, AReadOnlyFileAndFolderKeepWhatTheyHold) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", "{\"Float\": 4}");
    const auto readOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;
    fs::permissions("config/Orvelin.cfg", readOnly);
    fs::permissions("config", readOnly | fs::perms::owner_exec | fs::perms::group_exec |
                                  fs::perms::others_exec);
    const HostRun run = runHost();
    fs::permissions("config", fs::perms::owner_all);
    fs::permissions("config/Orvelin.cfg", fs::perms::owner_read | fs::perms::owner_write);
    ASSERT_EQ(run.status, 0) << run.errors;
    // Permission bits may not stop an administrator from writing; either way the value stays.
    EXPECT_EQ(expected::storedFloat(readFile("config\\Orvelin.cfg")), "4");
}

TEST_F(ConfigFileFault, ALargeConfigurationFile) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg",
              "{\"Float\": 6, \"Padding\": \"" + std::string(64u << 20, 'p') + "\"}");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), expected::storedConfig("6"));
}

#if defined(_WIN32)
TEST_F(ConfigFileFault, AConfigurationFileLockedByAnotherProcess) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", "{\"Float\": 8}");
    HANDLE locked = CreateFileA("config\\Orvelin.cfg", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    const HostRun run = runHost();
    CloseHandle(locked);
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(readFile(SML::Host::logFileName), expected::sessionLog());
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), "{\"Float\": 8}");
}
#else
TEST_F(ConfigFileFault, TheWorkingFolderRemovedBeforeTheModuleLoads) {
    // Windows never lets a process's working folder go; POSIX does.
    const int status =
        testing_support::runProgram("(mkdir gone && cd gone && rmdir ../gone && \"" +
                                        testing_support::builtProgram("orvelin-host") + "\")",
                                    "output.txt", "errors.txt");
    EXPECT_EQ(status, 0) << readFile("errors.txt");
    EXPECT_EQ(readFile("output.txt"), expected::sessionLog());
    EXPECT_FALSE(fs::exists("gone"));
}
#endif

// The player's file, byte for byte as the plug-in writes it: a rewrite leaves it the same.
std::string playersFile() {
    return expected::storedConfig("3");
}

// A file the plug-in would rewrite: any rewrite shows.
const std::string editedFile = "{\"Float\": 4, \"Extra\": 1}";

std::vector<std::string> temporariesIn(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".tmp") {
            names.push_back(entry.path().filename().string());
        }
    }
    return names;
}

TEST_F(ConfigFileFault, KilledAtAnyMomentTheFileKeepsThePlayersValue) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", playersFile());
    std::mt19937 random(20261208);
    // Wine takes longer to start a program.
#if defined(_WIN32)
    std::uniform_int_distribution<int> milliseconds(300, 1500);
#else
    std::uniform_int_distribution<int> milliseconds(20, 400);
#endif
    for (int kill = 1; kill <= 20; ++kill) {
        testing_support::BackgroundProgram host(hostCommand("--sessions 1000000"), "output.txt");
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds(random)));
        host.kill();
        host.wait();
        ASSERT_EQ(readFile("config\\Orvelin.cfg"), playersFile()) << "after kill " << kill;
    }
}

TEST_F(ConfigFileFault, OnlyTemporariesOfProcessesThatDiedAreRemoved) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", playersFile());
    // A writer no running process can be: an id past the system's range (a real dead process's
    // id may be given to a new process at once, as Wine does).
#if defined(_WIN32)
    const std::string dead = std::to_string(0xFFFFFFF0u);
#else
    const std::string dead = std::to_string(std::stoull(readFile("/proc/sys/kernel/pid_max")) + 1);
#endif
    // This test program is alive while the session runs, as a writer would be.
    const std::string live = std::to_string(platform::processId());
    const std::string kept[] = {"Orvelin.cfg." + live + ".tmp", "Orvelin.cfg.bak",
                                "Orvelin.cfg." + dead + "x.tmp", "Other.cfg." + dead + ".tmp"};
    for (const std::string& name : kept) {
        writeFile("config\\" + name, "{\"Float\": 9}");
    }
    writeFile("config\\Orvelin.cfg." + dead + ".tmp", "{\"Float\": 9}");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_FALSE(platform::pathExists("config\\Orvelin.cfg." + dead + ".tmp"));
    for (const std::string& name : kept) {
        EXPECT_TRUE(platform::pathExists("config\\" + name)) << name;
    }
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), playersFile()) << "no temporary is read";
}

TEST_F(ConfigFileFault, FourGamesStartingAtOnceKeepThePlayersValue) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", playersFile());
    std::vector<std::unique_ptr<testing_support::BackgroundProgram>> games;
    for (int n = 0; n < 4; ++n) {
        games.push_back(std::make_unique<testing_support::BackgroundProgram>(
            hostCommand("--sessions 300"), "output" + std::to_string(n) + ".txt"));
    }
    std::size_t reads = 0;
    std::size_t wrong = 0;
    std::string example;
    auto running = [&] {
        bool any = false;
        for (auto& each : games) {
            any = !each->finished() || any;
        }
        return any;
    };
    while (running()) {
        // Read as the plug-in reads, sharing the file with writers (on Windows a reader that
        // does not share deletion may meet a rename still closing its handle).
        const platform::FileContent now = platform::readWholeFile("config\\Orvelin.cfg");
        ++reads;
        if (now.state != platform::FileState::read || now.bytes != playersFile()) {
            ++wrong;
            example = now.bytes;
        }
    }
    for (auto& each : games) {
        EXPECT_EQ(each->wait(), 0);
    }
    EXPECT_EQ(wrong, 0u) << "of " << reads << " reads, for example: \"" << example << '"';
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), playersFile());
    EXPECT_EQ(temporariesIn("config"), std::vector<std::string>{});
}

TEST_F(ConfigFileFault, AReadThatFailsAfterTheOpenChangesNothing) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", editedFile);
#if defined(_WIN32)
    // Another process's lock on the bytes after the first 8: the open succeeds, the read fails.
    HANDLE file = CreateFileA("config\\Orvelin.cfg", GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    OVERLAPPED from{};
    from.Offset = 8;
    ASSERT_TRUE(
        LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 4096, 0, &from));
    const HostRun run = runHost();
    UnlockFileEx(file, 0, 4096, 0, &from);
    CloseHandle(file);
#else
    testing_support::setEnvironment("LD_PRELOAD",
                                    platform::executableDirectory() + "libfailing_read.so");
    // The sanitizer's runtime would otherwise insist on being loaded first.
    testing_support::setEnvironment("ASAN_OPTIONS", "verify_asan_link_order=0");
    const HostRun run = runHost();
    testing_support::setEnvironment("LD_PRELOAD", "");
    testing_support::setEnvironment("ASAN_OPTIONS", "");
#endif
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(readFile(SML::Host::logFileName), expected::sessionLog());
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), editedFile);
}

#if !defined(_WIN32)
// Runs a session with a shim that records every flush and rename the process makes.
std::vector<std::string> callsOfASession() {
    testing_support::setEnvironment("LD_PRELOAD",
                                    platform::executableDirectory() + "libcall_log.so");
    testing_support::setEnvironment("ASAN_OPTIONS", "verify_asan_link_order=0");
    testing_support::setEnvironment("ORVELIN_CALL_LOG", "calls.txt");
    const HostRun run = runHost();
    testing_support::setEnvironment("LD_PRELOAD", "");
    testing_support::setEnvironment("ASAN_OPTIONS", "");
    testing_support::setEnvironment("ORVELIN_CALL_LOG", "");
    EXPECT_EQ(run.status, 0) << run.errors;
    std::vector<std::string> calls;
    std::istringstream log(readFile("calls.txt"));
    for (std::string line; std::getline(log, line);) {
        calls.push_back(line);
    }
    return calls;
}

TEST_F(ConfigFileFault, ASaveFlushesTheTemporaryBeforeTheRenameAndTheFolderAfter) {
    // A kill cannot show this: after a power cut an unflushed file can come back empty, and an
    // unflushed folder with the old file.
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", editedFile);
    const std::vector<std::string> calls = callsOfASession();
    // Where in the calls the temporary is flushed, renamed over the file, and the folder flushed.
    std::size_t flushed = calls.size();
    std::size_t renamed = calls.size();
    std::size_t folderFlushed = calls.size();
    for (std::size_t n = calls.size(); n-- > 0;) {
        const std::string& call = calls[n];
        if (call.starts_with("rename config/Orvelin.cfg.") &&
            call.ends_with(".tmp config/Orvelin.cfg")) {
            renamed = n;
        }
    }
    ASSERT_LT(renamed, calls.size()) << readFile("calls.txt");
    const std::string temporary = calls[renamed].substr(7, calls[renamed].find(' ', 7) - 7);
    for (std::size_t n = 0; n < calls.size(); ++n) {
        if (calls[n] == "fsync " + fs::absolute(temporary).lexically_normal().string()) {
            flushed = std::min(flushed, n);
        }
        if (calls[n] == "fsync " + fs::absolute("config").string()) {
            folderFlushed = std::min(folderFlushed, n);
        }
    }
    EXPECT_LT(flushed, renamed) << readFile("calls.txt");
    EXPECT_LT(renamed, folderFlushed) << readFile("calls.txt");
    EXPECT_LT(folderFlushed, calls.size()) << readFile("calls.txt");
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), expected::storedConfig("4"));
}
#endif

// orvelin-host as another user when the tests run as root, whom file permissions do not stop: a
// copy of the runner, the plug-in and the loader in a folder that user can reach, wherever the
// build lies. The working directory stays the game folder.
class HostAsAnotherUser {
public:
    HostAsAnotherUser() {
        if (!testing_support::administrator()) {
            command_ = hostCommand();
            return;
        }
        const std::string loader = platform::executableDirectory() + expected::loaderFile();
        fs::create_directories(copy_);
        for (const std::string& file : {testing_support::builtProgram("orvelin-host"),
                                        testing_support::builtModule(), loader}) {
            fs::copy_file(file, copy_ / fs::path(file).filename(),
                          fs::copy_options::overwrite_existing);
        }
        fs::permissions(copy_, fs::perms::owner_all | fs::perms::group_read |
                                   fs::perms::group_exec | fs::perms::others_read |
                                   fs::perms::others_exec);
        command_ = testing_support::asAnotherUser("\"" + (copy_ / "orvelin-host").string() + "\"");
    }
    ~HostAsAnotherUser() {
        std::error_code ignored;
        fs::remove_all(copy_, ignored);
    }
    HostAsAnotherUser(const HostAsAnotherUser&) = delete;
    HostAsAnotherUser& operator=(const HostAsAnotherUser&) = delete;

    const std::string& command() const { return command_; }

private:
    fs::path copy_ = fs::temp_directory_path() /
                     ("orvelin-another-user-" + std::to_string(platform::processId()));
    std::string command_;
};

TEST_F(ConfigFileFault, AFileThePlayerMayNotReadOrWriteStaysByteForByte) {
    // Anyone may write the folders, so that only the file's own permissions stand in the way of a
    // rename.
    const HostAsAnotherUser host;
    const auto everyone = fs::perms::all;
    fs::permissions(".", everyone);
    fs::create_directories("config");
    fs::permissions("config", everyone);
    using fs::perms;
    const std::pair<const char*, perms> cases[] = {
        {"read-only", perms::owner_read | perms::group_read | perms::others_read},
#if !defined(_WIN32)
        // It cannot be read, so it is not the player's to replace, though a rename could.
        {"write-only", perms::owner_write | perms::group_write | perms::others_write},
        {"another user's", perms::owner_read | perms::owner_write},
#endif
    };
    for (const auto& [name, mode] : cases) {
        if (std::string(name) == "another user's" && !testing_support::administrator()) {
            continue; // only the administrator can hand a file to another user
        }
        writeFile("config\\Orvelin.cfg", editedFile);
        fs::permissions("config/Orvelin.cfg", mode);
        const int status = testing_support::runProgram(host.command(), "output.txt", "errors.txt");
        fs::permissions("config/Orvelin.cfg", perms::owner_read | perms::owner_write);
        ASSERT_EQ(status, 0) << name << ": " << readFile("errors.txt");
        EXPECT_EQ(readFile("output.txt"), expected::sessionLog()) << name;
        EXPECT_EQ(readFile("config\\Orvelin.cfg"), editedFile) << name;
        EXPECT_EQ(temporariesIn("config"), std::vector<std::string>{}) << name;
    }
}

#if !defined(_WIN32)
TEST_F(ConfigFileFault, AnotherUsersLiveSaveKeepsItsTemporary) {
    // Process 1 runs as long as the system does and is another user's than the session's (as
    // root, the session runs as another user): that it may not be signalled means it runs.
    const HostAsAnotherUser host;
    fs::permissions(".", fs::perms::all);
    fs::create_directories("config");
    fs::permissions("config", fs::perms::all);
    writeFile("config\\Orvelin.cfg", playersFile());
    fs::permissions("config/Orvelin.cfg", fs::perms::all);
    const std::string live = platform::temporary_files::pathFor("config/Orvelin.cfg", 1, 0);
    writeFile(live, "a live save's");
    const int status = testing_support::runProgram(host.command(), "output.txt", "errors.txt");
    ASSERT_EQ(status, 0) << readFile("errors.txt");
    EXPECT_TRUE(fs::exists(live));
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), playersFile());
}
#endif

TEST_F(ConfigFileFault, TheRewrittenFileKeepsWhatThePlayerSetOnIt) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", editedFile);
#if defined(_WIN32)
    SetFileAttributesA("config\\Orvelin.cfg", FILE_ATTRIBUTE_HIDDEN);
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(GetFileAttributesA("config\\Orvelin.cfg") & FILE_ATTRIBUTE_HIDDEN,
              static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN));
#else
    chmod("config/Orvelin.cfg", 0604);
    ASSERT_EQ(runHost().status, 0);
    struct stat status {};
    ASSERT_EQ(stat("config/Orvelin.cfg", &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0604u);
#endif
    const std::string rewritten = expected::storedConfig("4");
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), rewritten);
#if !defined(_WIN32)
    // A link to a file kept elsewhere stays a link; the file it names is rewritten.
    writeFile("kept.cfg", editedFile);
    fs::remove("config/Orvelin.cfg");
    fs::create_symlink("../kept.cfg", "config/Orvelin.cfg");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_TRUE(fs::is_symlink("config/Orvelin.cfg"));
    EXPECT_EQ(readFile("kept.cfg"), rewritten);
#endif
}

#if !defined(_WIN32)
TEST_F(ConfigFileFault, APipeAtThePathNeitherBlocksNorIsReplaced) {
    fs::create_directories("config");
    ASSERT_EQ(mkfifo("config/Orvelin.cfg", 0644), 0);
    // timeout ends a session that waits for a writer that never comes.
    const int status =
        testing_support::runProgram("timeout 60 " + hostCommand(), "output.txt", "errors.txt");
    ASSERT_EQ(status, 0) << readFile("errors.txt");
    EXPECT_EQ(readFile("output.txt"), expected::sessionLog());
    EXPECT_TRUE(fs::is_fifo("config/Orvelin.cfg"));
}

TEST_F(ConfigFileFault, TheRewrittenFileKeepsItsOwnerAndGroup) {
    if (!testing_support::administrator()) {
        GTEST_SKIP() << "only the administrator can hand a file to another user";
    }
    // Another owner, another group, or both: the rewritten file keeps each of them.
    const uid_t own = geteuid();
    const gid_t group = getegid();
    const std::pair<uid_t, gid_t> owners[] = {
        {own + 4242, group}, {own, group + 4242}, {own + 4242, group + 4242}};
    fs::create_directories("config");
    for (const auto& [uid, gid] : owners) {
        writeFile("config\\Orvelin.cfg", editedFile);
        ASSERT_EQ(chown("config/Orvelin.cfg", uid, gid), 0);
        ASSERT_EQ(runHost().status, 0);
        struct stat status {};
        ASSERT_EQ(stat("config/Orvelin.cfg", &status), 0);
        EXPECT_EQ(status.st_uid, uid) << uid << ":" << gid;
        EXPECT_EQ(status.st_gid, gid) << uid << ":" << gid;
        EXPECT_EQ(readFile("config\\Orvelin.cfg"), expected::storedConfig("4"));
    }
}

TEST_F(ConfigFileFault, AWriteThatFailsPartWayLeavesTheOldFileAndNoTemporary) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", editedFile);
    // No file may grow in the child; the signal that would end it is ignored, so writes fail.
    const int status =
        testing_support::runProgram("sh -c 'trap \"\" XFSZ; ulimit -f 0; exec " +
                                        testing_support::builtProgram("orvelin-host") + "'",
                                    "output.txt", "errors.txt");
    ASSERT_EQ(status, 0) << readFile("errors.txt");
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), editedFile);
    EXPECT_EQ(temporariesIn("config"), std::vector<std::string>{});
}
#endif

} // namespace
