// The real runner playing sessions with the real plug-in module, as a user runs it.

#include "host/loader.hpp"
#include "platform/platform.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

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

const std::string pluginLine = "writeHeader Orvelin 5\nsetConsoleColor 9\nlog 5\nsetConsoleColor 14\n";

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
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), "{" + lineEnd() + "    \"Float\": 3" + lineEnd() + "}");
    writeFile("config\\Orvelin.cfg", "{ \"Float\": \"three\" ");
    ASSERT_EQ(runHost().status, 0);
    EXPECT_EQ(readFile("config\\Orvelin.cfg"),
              "{" + lineEnd() + "    \"Float\": 1.0" + lineEnd() + "}");
}

TEST_F(Runner, AMissingModuleIsNamedInOneLine) {
    const HostRun run = runHost("--plugin missing-module.dll");
    EXPECT_NE(run.status, 0);
    EXPECT_NE(run.errors.find("Cannot load the plug-in module missing-module.dll"), std::string::npos)
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
    EXPECT_EQ(run.errors, lines({"The plug-in module " + notAPlugin + " does not export ModCreate"}));
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

} // namespace
