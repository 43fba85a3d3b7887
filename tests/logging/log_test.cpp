#include "logging/log.hpp"

#include "loader/loader.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <utility>

using testing_support::Capture;

namespace {

using Steps = std::vector<std::string>;

struct VerboseConfigLog {
    explicit VerboseConfigLog(bool on) : previous(std::exchange(verboseConfigLog, on)) {}
    ~VerboseConfigLog() { verboseConfigLog = previous; }
    bool previous;
};

TEST(LogLine, WritesEachSinkInOrderAroundTheLoaderCalls) {
    Capture capture;
    logAs("Orvelin", "Finished Orvelin setup!");

    EXPECT_EQ(capture.operations(),
              (Steps{"writeHeader Orvelin 5", "setConsoleColor 9", "log 5", "setConsoleColor 14"}));
    const std::string line = "[Orvelin] Finished Orvelin setup!\n";
    EXPECT_EQ(capture.console(), line);
    EXPECT_EQ(capture.file(), line);
    // The text reaches both sinks, the file flushed, before the loader's log call; the end of
    // line comes after it and before the colour is reset.
    const Capture::Step& logCall = capture.steps()[2];
    EXPECT_EQ(logCall.console, "[Orvelin] Finished Orvelin setup!");
    EXPECT_EQ(logCall.file, "[Orvelin] Finished Orvelin setup!");
    EXPECT_EQ(capture.steps()[3].console, line);
    EXPECT_EQ(capture.steps()[3].file, line);
}

TEST(LogLine, TheLogFileHoldsTheTextWhenTheLoaderIsCalled) {
    // The loader's own log file on disk, opened as the loader opens it: only a flush puts the text
    // there before the loader's log call.
    testing_support::ScratchFolder folder("RealLogFile");
    SML::Host::openLogFile(SML::Host::logFileName);
    std::vector<std::string> fileAt;
    SML::Host::setTraceSink([&](const std::string&) {
        fileAt.push_back(testing_support::readFile(SML::Host::logFileName));
    });
    logAs("Orvelin", "Finished Orvelin setup!");
    SML::Host::setTraceSink({});
    SML::Host::closeLogFile();
    ASSERT_EQ(fileAt.size(), 4u);
    EXPECT_EQ(fileAt[2], "[Orvelin] Finished Orvelin setup!") << "at the log call";
    EXPECT_EQ(fileAt[3], "[Orvelin] Finished Orvelin setup!" + testing_support::lineEnd())
        << "at the colour reset";
    EXPECT_EQ(testing_support::readFile(SML::Host::logFileName),
              "[Orvelin] Finished Orvelin setup!" + testing_support::lineEnd());
}

TEST(LogLine, ColourFollowsTheLogType) {
    const std::pair<int, int> table[] = {{0, 7},   {1, 9},  {2, 13},   {3, 11},        {4, 7},
                                         {5, 9},   {6, 13}, {7, 11},   {100, 11},      {-1, 11},
                                         {-5, 11}, {8, 11}, {255, 11}, {INT32_MIN, 11}};
    for (const auto& [type, colour] : table) {
        EXPECT_EQ(typeColour(type), colour) << "log type " << type;
        Capture capture;
        logLine(type, "x");
        EXPECT_EQ(capture.operations(),
                  (Steps{"setConsoleColor " + std::to_string(colour), "log " + std::to_string(type),
                         "setConsoleColor 14"}));
    }
}

TEST(LogLine, TextIsWrittenUnchanged) {
    for (const std::string& text :
         {std::string(), std::string("two\nlines"), std::string("tab\tand \"quotes\" and 100%"),
          std::string("\xc3\xa9t\xc3\xa9")}) {
        Capture capture;
        logLine(5, text);
        EXPECT_EQ(capture.console(), text + "\n");
        EXPECT_EQ(capture.file(), text + "\n");
        EXPECT_EQ(capture.operations(),
                  (Steps{"setConsoleColor 9", "log 5", "setConsoleColor 14"}));
    }
}

TEST(LogLine, CharacterSequenceFormWritesTheSame) {
    Capture asString;
    logLine(2, std::string("same words"));
    const std::string console = asString.console();
    const Steps operations = asString.operations();

    Capture asCharacters;
    logLine(2, "same words");
    EXPECT_EQ(asCharacters.console(), console);
    EXPECT_EQ(asCharacters.operations(), operations);
}

TEST(LogLine, NullCharacterSequenceIsAnEmptyLine) {
    Capture capture;
    logLine(5, static_cast<const char*>(nullptr));
    EXPECT_EQ(capture.console(), "\n");
    EXPECT_EQ(capture.file(), "\n");
}

TEST(DebugLine, SilentWhileTheSwitchIsOff) {
    ASSERT_FALSE(verboseConfigLog) << "the switch starts off";
    Capture capture;
    debugLine("Loading config: Orvelin");
    EXPECT_TRUE(capture.operations().empty());
    EXPECT_EQ(capture.console(), "");
    EXPECT_EQ(capture.file(), "");
}

TEST(DebugLine, WritesUnderTheLoaderHeaderWhenOn) {
    VerboseConfigLog on(true);
    Capture capture;
    debugLine("Loading config: Orvelin");
    EXPECT_EQ(capture.operations(),
              (Steps{"writeHeader SML 0", "setConsoleColor 7", "log 0", "setConsoleColor 14"}));
    EXPECT_EQ(capture.file(), "[SML] Loading config: Orvelin\n");
}

} // namespace
