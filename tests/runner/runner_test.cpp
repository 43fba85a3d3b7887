// The real runner playing sessions with the real plug-in module, as a user runs it.

#include "expected.hpp"
#include "loader/loader.hpp"
#include "orvelin_version.hpp"
#include "platform/files.hpp"
#include "platform/process.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>
#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/stat.h>
#endif

using testing_support::HostRun;
using testing_support::runHost;
namespace expected = testing_support::expected;
using testing_support::readFile;
using testing_support::ScratchFolder;
using testing_support::writeFile;

namespace {

namespace fs = std::filesystem;

const std::string pluginLine =
    "writeHeader Orvelin 5\nsetConsoleColor 9\nlog 5\nsetConsoleColor 14\n";

class Runner : public ::testing::Test {
protected:
    ScratchFolder game{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(Runner, ASessionInAFreshGameFolder) {
    const HostRun run = runHost();
    ASSERT_EQ(run.status, 0) << run.errors;
    const std::string expected = expected::sessionLog();
    EXPECT_EQ(readFile(SML::Host::logFileName), expected) << "no engine global went missing";
    EXPECT_EQ(run.output, expected);
    EXPECT_EQ(run.errors, "");
    EXPECT_EQ(readFile("trace.txt"),
              "ModCreate\nsetup\nsetDependsOnPak RUD_p\nsetDependsOnPak Orvelin_p\n"
              "subscribe AFGPlayerController::BeginPlay\nsubscribe PlayerInput::InputKey\n"
              "subscribe UWorld::Tick\nregisterEvent Orvelin_PostSetupComplete\n" +
                  pluginLine + "postSetup\nbroadcastEvent Orvelin_PostSetupComplete\n" +
                  pluginLine + "delete\n" + pluginLine + "unload\n");
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), expected::storedConfig());
}

TEST_F(Runner, AnEngineGlobalMissingAfterAGameUpdateIsLoggedFirst) {
    // setup locates the globals before it declares anything to the loader.
    for (const char* global : {"1", "2", "3"}) {
        const HostRun run = runHost(std::string("--changed-instruction ") + global);
        ASSERT_EQ(run.status, 0) << run.errors;
        const std::string missing = std::string("[Orvelin] Engine global ") + global +
                                    " was not found in the game executable";
        EXPECT_EQ(readFile(SML::Host::logFileName),
                  expected::joined({missing}) + expected::sessionLog());
        const std::string trace = readFile("trace.txt");
        EXPECT_EQ(trace.substr(0, trace.find("subscribe")),
                  "ModCreate\nsetup\n" + pluginLine +
                      "setDependsOnPak RUD_p\nsetDependsOnPak Orvelin_p\n")
            << global;
        std::filesystem::remove("trace.txt");
    }
}

TEST_F(Runner, AnEditedConfigurationIsReconciledOnTheNextLoad) {
    ASSERT_EQ(runHost().status, 0);
    writeFile("config\\Orvelin.cfg", "{\n  \"Extra\": true,\n  \"Float\": 3\n}\n");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), expected::storedConfig("3"));
    writeFile("config\\Orvelin.cfg", "{ \"Float\": \"three\" ");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), expected::storedConfig());
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
    const std::string notAPlugin = platform::executableDirectory() + expected::loaderFile();
#else
    const std::string notAPlugin = platform::executableDirectory() + expected::loaderFile();
#endif
    const HostRun run = runHost("--plugin \"" + notAPlugin + "\"");
    EXPECT_NE(run.status, 0);
    EXPECT_EQ(run.errors, expected::joined(
                              {"The plug-in module " + notAPlugin + " does not export ModCreate"}));
}

TEST_F(Runner, OptionsBehaveAsUsersExpect) {
    const HostRun help = runHost("--help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.output.find("--plugin"), std::string::npos) << help.output;
    const HostRun version = runHost("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.output,
              expected::joined({std::string("orvelin-host ") + orvelin_build::version}));
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

} // namespace
