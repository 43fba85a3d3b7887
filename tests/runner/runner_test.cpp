// The real runner playing sessions with the real plug-in module, as a user runs it.

#include "host/loader.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#if defined(_WIN32)
#include <windows.h>
#endif

using testing_support::lineEnd;
using testing_support::readFile;
using testing_support::ScratchFolder;
using testing_support::writeFile;

namespace {

struct HostRun {
    int status;
    std::string output;
    std::string errors;
};

namespace fs = std::filesystem;

// Runs orvelin-host in the working directory, tracing the loader into trace.txt.
HostRun runHost(const std::string& arguments = "") {
    platform::setEnvironment(SML::Host::traceVariable, "trace.txt");
    const int status = testing_support::runProgram(
        "\"" + testing_support::builtProgram("orvelin-host") + "\" " + arguments, "output.txt",
        "errors.txt");
    platform::setEnvironment(SML::Host::traceVariable, "");
    return {status, readFile("output.txt"), readFile("errors.txt")};
}

std::string lines(std::initializer_list<std::string> each) {
    std::string all;
    for (const std::string& line : each) {
        all += line + lineEnd();
    }
    return all;
}

// The text of the stored "Float" member, read without the library under test.
std::string storedFloat(const std::string& file) {
    const std::size_t colon = file.find(':', file.find("\"Float\""));
    const std::size_t end = file.find_first_of(",}\r\n", colon);
    const std::size_t begin = file.find_first_not_of(' ', colon + 1);
    return colon == std::string::npos ? "" : file.substr(begin, end - begin);
}

const std::string pluginLine =
    "writeHeader Orvelin 5\nsetConsoleColor 9\nlog 5\nsetConsoleColor 14\n";

class Runner : public ::testing::Test {
protected:
    ScratchFolder game{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(Runner, ASessionInAFreshGameFolder) {
    const HostRun run = runHost();
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::string expected = lines({"[Orvelin] Finished Orvelin setup!",
                                        "[Orvelin] Orvelin's post setup has been completed!",
                                        "[Orvelin] Orvelin finished cleanup!"});
    EXPECT_EQ(readFile(SML::Host::logFileName), expected) << "no engine global went missing";
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(readFile("trace.txt"),
              "ModCreate\nsetup\nsetDependsOnPak RUD_p\nsetDependsOnPak Orvelin_p\n"
              "subscribe AFGPlayerController::BeginPlay\nsubscribe PlayerInput::InputKey\n"
              "subscribe UWorld::Tick\nregisterEvent Orvelin_PostSetupComplete\n" +
                  pluginLine + "postSetup\nbroadcastEvent Orvelin_PostSetupComplete\n" +
                  pluginLine + "delete\n" + pluginLine + "unload\n");
    EXPECT_EQ(readFile("config\\Orvelin.cfg"),
              "{" + lineEnd() + "    \"Float\": 1.0" + lineEnd() + "}");
}

TEST_F(Runner, AnEditedConfigurationIsReconciledOnTheNextLoad) {
    ASSERT_EQ(runHost().status, 0);
    writeFile("config\\Orvelin.cfg", "{\n  \"Extra\": true,\n  \"Float\": 3\n}\n");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile("config\\Orvelin.cfg"),
              "{" + lineEnd() + "    \"Float\": 3" + lineEnd() + "}");
    writeFile("config\\Orvelin.cfg", "{ \"Float\": \"three\" ");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile("config\\Orvelin.cfg"),
              "{" + lineEnd() + "    \"Float\": 1.0" + lineEnd() + "}");
}

TEST_F(Runner, AMissingModuleIsNamedInOneLine) {
    const HostRun run = runHost("--plugin missing-module.dll");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.errors.find("Cannot load the plug-in module missing-module.dll"),
              std::string::npos)
        << run.errors;
    EXPECT_EQ(run.errors.find('\n'), run.errors.size() - 1) << run.errors;
}

TEST_F(Runner, AModuleWithoutModCreateIsRefused) {
#if defined(_WIN32)
    const std::string notAPlugin = platform::executableDirectory() + "xinput1_3.dll";
#else
    const std::string notAPlugin = platform::executableDirectory() + "libxinput1_3.so";
#endif
    const HostRun run = runHost("--plugin \"" + notAPlugin + "\"");
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.errors,
              lines({"The plug-in module " + notAPlugin + " does not export ModCreate"}));
}

TEST_F(Runner, OptionsBehaveAsUsersExpect) {
    const HostRun help = runHost("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--plugin"), std::string::npos) << help.output;
    const HostRun bad = runHost("--no-such-option");
    EXPECT_NE(bad.status, 0);
    EXPECT_NE(bad.errors.find("no-such-option"), std::string::npos) << bad.errors;
    EXPECT_FALSE(platform::pathExists(SML::Host::logFileName)) << "no session was played";
}

TEST_F(Runner, ManySessionsInOneProcess) {
    const HostRun run = runHost("--sessions 5 --memory-report");
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::string log = readFile(SML::Host::logFileName);
    std::size_t lineCount = 0;
    for (std::size_t at = log.find('\n'); at != std::string::npos; at = log.find('\n', at + 1)) {
        ++lineCount;
    }
    EXPECT_EQ(lineCount, 15u);
    const std::string trace = readFile("trace.txt");
    std::size_t unloads = 0;
    for (std::size_t at = trace.find("unload\n"); at != std::string::npos;
         at = trace.find("unload\n", at + 1)) {
        ++unloads;
    }
    EXPECT_EQ(unloads, 5u);
    EXPECT_NE(run.errors.find("after session 5:"), std::string::npos) << run.errors;
    EXPECT_EQ(runHost("--sessions 0").status == 0, false);
}

// Faults in the game folder: the session completes and nothing stored is destroyed.

std::string sessionLog() {
    return lines({"[Orvelin] Finished Orvelin setup!",
                  "[Orvelin] Orvelin's post setup has been completed!",
                  "[Orvelin] Orvelin finished cleanup!"});
}

TEST_F(Runner, AFileWhereTheConfigurationFolderShouldBe) {
    writeFile("config", "somebody's file");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile(SML::Host::logFileName), sessionLog());
    EXPECT_EQ(readFile("config"), "somebody's file");
}

TEST_F(Runner, AFolderWhereTheConfigurationFileShouldBe) {
    fs::create_directories("config/Orvelin.cfg/kept");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile(SML::Host::logFileName), sessionLog());
    EXPECT_TRUE(fs::is_directory("config/Orvelin.cfg/kept"));
}

TEST_F(Runner, AReadOnlyFileAndFolderKeepWhatTheyHold) {
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
    EXPECT_EQ(storedFloat(readFile("config\\Orvelin.cfg")), "4");
}

TEST_F(Runner, ALargeConfigurationFile) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg",
              "{\"Float\": 6, \"Padding\": \"" + std::string(64u << 20, 'p') + "\"}");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile("config\\Orvelin.cfg"),
              "{" + lineEnd() + "    \"Float\": 6" + lineEnd() + "}");
}

#if defined(_WIN32)
TEST_F(Runner, AConfigurationFileLockedByAnotherProcess) {
    fs::create_directories("config");
    writeFile("config\\Orvelin.cfg", "{\"Float\": 8}");
    HANDLE locked = CreateFileA("config\\Orvelin.cfg", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    const HostRun run = runHost();
    CloseHandle(locked);
    ASSERT_EQ(run.status, 0) << run.errors;
    EXPECT_EQ(readFile(SML::Host::logFileName), sessionLog());
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), "{\"Float\": 8}");
}
#else
TEST_F(Runner, TheWorkingFolderRemovedBeforeTheModuleLoads) {
    // Windows never lets a process's working folder go; POSIX does.
    const int status =
        testing_support::runProgram("(mkdir gone && cd gone && rmdir ../gone && \"" +
                                        testing_support::builtProgram("orvelin-host") + "\")",
                                    "output.txt", "errors.txt");
    EXPECT_EQ(status, 0) << readFile("errors.txt");
    EXPECT_EQ(readFile("output.txt"), sessionLog());
    EXPECT_FALSE(fs::exists("gone"));
}
#endif

} // namespace
