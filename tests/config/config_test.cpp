#include "config/config.hpp"

#include "expected.hpp"
#include "logging/log.hpp"
#include "platform/files.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <utility>
#if defined(_WIN32)
#include <windows.h>
#endif

using nlohmann::json;
using testing_support::Capture;
using testing_support::lineEnd;
using testing_support::readFile;
using testing_support::ScratchFolder;
using testing_support::writeFile;

namespace {

// Documents compare by their text, so that 2 and 2.0 differ.
std::string text(const json& document) {
    return document.dump();
}

const json pluginDefaults = {{"Float", 1.0}};

std::string defaultFileBytes() {
    return testing_support::expected::storedConfig();
}

const std::string pluginFile = "config\\Orvelin.cfg";

// Loads the plug-in's configuration as module load does.
json loadPluginConfig() {
    return loadConfig("Orvelin", pluginDefaults, true);
}

struct ReconcileCase {
    const char* name;
    json defaults;
    json loaded;
    json expected;
};

void expectReconciled(const std::vector<ReconcileCase>& cases) {
    for (const ReconcileCase& example : cases) {
        EXPECT_EQ(text(reconcileConfig(example.loaded, example.defaults)), text(example.expected))
            << example.name;
    }
}

TEST(Reconcile, OrdinaryKeys) {
    const json nested = {{"a", 1}, {"b", "s"}};
    expectReconciled({
        {"absent gets the default", {{"k", 1}}, json::object(), {{"k", 1}}},
        {"integer keeps an integer", {{"k", 1}}, {{"k", 5}}, {{"k", 5}}},
        {"integer keeps a negative integer", {{"k", 1u}}, {{"k", -3}}, {{"k", -3}}},
        {"integer keeps an unsigned integer",
         {{"k", -1}},
         {{"k", 18446744073709551615u}},
         {{"k", 18446744073709551615u}}},
        {"integer refuses 2.0", {{"k", 1}}, {{"k", 2.0}}, {{"k", 1}}},
        {"floating point keeps an integer", {{"k", 1.0}}, {{"k", 2}}, {{"k", 2}}},
        {"floating point keeps an unsigned integer", {{"k", 1.0}}, {{"k", 7u}}, {{"k", 7u}}},
        {"floating point keeps floating point", {{"k", 1.0}}, {{"k", -0.25}}, {{"k", -0.25}}},
        {"number refuses a string", {{"k", 1.0}}, {{"k", "2"}}, {{"k", 1.0}}},
        {"number refuses a boolean", {{"k", 1}}, {{"k", true}}, {{"k", 1}}},
        {"number refuses an array", {{"k", 1.0}}, {{"k", json::array({1})}}, {{"k", 1.0}}},
        {"number refuses an object", {{"k", 1.0}}, {{"k", json::object()}}, {{"k", 1.0}}},
        {"number refuses null", {{"k", 1.0}}, {{"k", nullptr}}, {{"k", 1.0}}},
        {"object is reconciled",
         {{"o", nested}},
         {{"o", {{"a", 2}, {"c", 3}}}},
         {{"o", {{"a", 2}, {"b", "s"}}}}},
        {"object refuses a number", {{"o", nested}}, {{"o", 5}}, {{"o", nested}}},
        {"object refuses null", {{"o", nested}}, {{"o", nullptr}}, {{"o", nested}}},
        {"string keeps a string", {{"s", "a"}}, {{"s", "b"}}, {{"s", "b"}}},
        {"string refuses a number", {{"s", "a"}}, {{"s", 1}}, {{"s", "a"}}},
        {"boolean keeps a boolean", {{"b", true}}, {{"b", false}}, {{"b", false}}},
        {"array contents are not inspected",
         {{"a", {1, 2}}},
         {{"a", {"x", nullptr}}},
         {{"a", {"x", nullptr}}}},
        {"array refuses an object", {{"a", {1, 2}}}, {{"a", {{"x", 1}}}}, {{"a", {1, 2}}}},
        {"null keeps null", {{"n", nullptr}}, {{"n", nullptr}}, {{"n", nullptr}}},
        {"null refuses a number", {{"n", nullptr}}, {{"n", 3}}, {{"n", nullptr}}},
        {"extra members are removed", {{"k", 1}}, {{"k", 2}, {"x", 1}, {"$y", 2}}, {{"k", 2}}},
        {"the empty key is no dollar key", {{"", 1}}, {{"", "x"}}, {{"", 1}}},
    });
}

TEST(Reconcile, DollarKeys) {
    const json object = {{"a", 1.0}};
    expectReconciled({
        {"any value stands", {{"$k", 1}}, {{"$k", "text"}}, {{"$k", "text"}}},
        {"a lone dollar is a dollar key",
         {{"$", 1.0}},
         {{"$", json::array()}},
         {{"$", json::array()}}},
        {"absent gets the default", {{"$k", 1}}, json::object(), {{"$k", 1}}},
        {"object is reconciled",
         {{"$o", object}},
         {{"$o", {{"a", 3}, {"b", 1}}}},
         {{"$o", {{"a", 3}}}}},
        {"null under an object default becomes the default",
         {{"$o", object}},
         {{"$o", nullptr}},
         {{"$o", object}}},
        {"null under an empty object default stays null",
         {{"$o", json::object()}},
         {{"$o", nullptr}},
         {{"$o", nullptr}}},
        {"an array under an object default becomes the default",
         {{"$o", object}},
         {{"$o", {1, 2}}},
         {{"$o", object}}},
        {"a string under an object default becomes the default",
         {{"$o", object}},
         {{"$o", "x"}},
         {{"$o", object}}},
        {"dollar keys the defaults lack are removed", {{"k", 1}}, {{"k", 1}, {"$", 2}}, {{"k", 1}}},
    });
}

TEST(Reconcile, NestedObjectsAtEveryDepth) {
    const json defaults = {{"a", {{"b", {{"c", 1.0}, {"d", "x"}}}, {"e", 2}}}, {"f", true}};
    const json loaded = {{"a", {{"b", {{"c", "bad"}, {"z", 1}}}, {"y", {1}}}}, {"g", 0}};
    const json expected = {{"a", {{"b", {{"c", 1.0}, {"d", "x"}}}, {"e", 2}}}, {"f", true}};
    EXPECT_EQ(text(reconcileConfig(loaded, defaults)), text(expected));
}

TEST(Reconcile, TopLevelThatIsNoObjectBecomesTheDefaults) {
    for (const json& loaded :
         {json(nullptr), json::array({1, 2}), json("text"), json(3), json(2.5), json(false)}) {
        EXPECT_EQ(text(reconcileConfig(loaded, pluginDefaults)), text(pluginDefaults))
            << loaded.dump();
    }
}

class ConfigFile : public ::testing::Test {
protected:
    ScratchFolder folder{::testing::UnitTest::GetInstance()->current_test_info()->name()};
};

TEST_F(ConfigFile, FirstRunCreatesTheFolderAndTheDefaultFile) {
    const json result = loadPluginConfig();
    EXPECT_TRUE(testing_support::isDirectory("config"));
    EXPECT_EQ(readFile(pluginFile), defaultFileBytes());
    EXPECT_EQ(readFile(pluginFile).size(), lineEnd().size() == 2 ? 22u : 20u);
    EXPECT_EQ(text(result), R"({"Float":1.0})");
    EXPECT_TRUE(result["Float"].is_number_float());
}

TEST_F(ConfigFile, WithoutTheFolderFlagTheFileLiesInTheWorkingDirectory) {
    EXPECT_EQ(configPath("Orvelin", false), "Orvelin.cfg");
    EXPECT_EQ(configPath("Orvelin", true), "config\\Orvelin.cfg");
    loadConfig("Orvelin", pluginDefaults, false);
    EXPECT_EQ(readFile("Orvelin.cfg"), defaultFileBytes());
    EXPECT_FALSE(platform::pathExists("config"));
}

TEST_F(ConfigFile, ContentThatIsNoUsableObjectIsReplacedByTheDefaults) {
    const std::pair<const char*, std::string> contents[] = {
        {"empty", ""},
        {"whitespace", " \n\t \n"},
        {"null", "null"},
        {"a second object", R"({"Float": 2} {"Float": 3})"},
        {"a syntax error", R"({"Float": 2,})"},
        {"an array", "[1, 2]"},
        {"a string", R"("Float")"},
        {"a number", "2.5"},
        {"a boolean", "true"},
        {"a NUL byte", std::string("{\"Float\": 2\0}", 13)},
        {"invalid UTF-8 in a string", "{\"Float\": 2, \"x\": \"\xff\xfe\"}"},
        {"a lone byte order mark", "\xEF\xBB\xBF"},
    };
    platform::makeDirectory("config");
    for (const auto& [name, content] : contents) {
        writeFile(pluginFile, content);
        EXPECT_EQ(text(loadPluginConfig()), R"({"Float":1.0})") << name;
        EXPECT_EQ(readFile(pluginFile), defaultFileBytes()) << name;
    }
}

TEST_F(ConfigFile, StoredValuesAreKeptAndWrittenBackInKeyOrder) {
    platform::makeDirectory("config");
    const std::tuple<const char*, std::string, std::string> cases[] = {
        {"an integer stays an integer", R"({"Float": 2})", R"({"Float":2})"},
        {"a number split over two lines", "{\"Float\": 1\n5}", R"({"Float":15})"},
        {"a number split by CR LF", "{\"Float\": 1\r\n5}", R"({"Float":15})"},
        {"CR LF line ends", "{\r\n    \"Float\": 0.5\r\n}", R"({"Float":0.5})"},
        // Only a CR before an LF goes with it: a lone one splits the number, which is no JSON.
        {"a lone CR is no line end", "{\"Float\": 1\r5}", R"({"Float":1.0})"},
        {"text after a Ctrl-Z is not read", "{\"Float\": 2.5}\x1A{\"Float\"", R"({"Float":2.5})"},
        {"a byte order mark", "\xEF\xBB\xBF{\"Float\": 3.5}", R"({"Float":3.5})"},
        {"extra members", R"({"Zeta": 1, "Float": 2.5, "$note": "x"})", R"({"Float":2.5})"},
    };
    for (const auto& [name, content, expected] : cases) {
        writeFile(pluginFile, content);
        const json result = loadPluginConfig();
        EXPECT_EQ(text(result), expected) << name;
        EXPECT_EQ(text(json::parse(readFile(pluginFile))), expected) << name;
    }
    writeFile(pluginFile, R"({"Float": 2})");
    loadPluginConfig();
    EXPECT_EQ(readFile(pluginFile), testing_support::expected::storedConfig("2"));
}

TEST_F(ConfigFile, MembersAndStringsAcrossLines) {
    const json defaults = {{"b", 1}, {"a", 2.0}, {"c", "s"}};
    for (const std::string split : {"\n", "\r\n"}) {
        writeFile("Settings.cfg",
                  "{\"c\": \"ab" + split + "cd\"," + split + " \"b\": 5," + split + " \"a\": 1}");
        const json result = loadConfig("Settings", defaults, false);
        EXPECT_EQ(text(result), R"({"a":1,"b":5,"c":"abcd"})");
        const std::string eol = lineEnd();
        EXPECT_EQ(readFile("Settings.cfg"), "{" + eol + "    \"a\": 1," + eol + "    \"b\": 5," +
                                                eol + "    \"c\": \"abcd\"" + eol + "}");
    }
}

TEST_F(ConfigFile, NonAsciiTextIsWrittenAsItIs) {
    const json defaults = {{"Name", "x"}};
    writeFile("Named.cfg", "{\"Name\": \"Caf\xC3\xA9 \\u00e9\"}");
    loadConfig("Named", defaults, false);
    const std::string eol = lineEnd();
    EXPECT_EQ(readFile("Named.cfg"),
              "{" + eol + "    \"Name\": \"Caf\xC3\xA9 \xC3\xA9\"" + eol + "}");
}

TEST_F(ConfigFile, EveryLoadWritesTwoDiagnosticsWhenVerbose) {
    const bool previous = std::exchange(verboseConfigLog, true);
    Capture capture;
    loadPluginConfig();
    loadPluginConfig();
    verboseConfigLog = previous;
    const std::string lines = "[SML] Loading config: Orvelin\n[SML] Saving config: Orvelin\n";
    EXPECT_EQ(capture.file(), lines + lines);
}

TEST_F(ConfigFile, AFailedSerialisationLeavesTheFileAsItWas) {
    writeFile("Broken.cfg", "precious");
    saveConfig("Broken", json{{"Name", "\xff"}}, false);
    EXPECT_EQ(readFile("Broken.cfg"), "precious");
}

TEST_F(ConfigFile, SomethingThatCannotBeReadIsLeftAlone) {
    // A folder standing where the file should be.
    std::filesystem::create_directories("config/Orvelin.cfg/inside");
    EXPECT_FALSE(configExists("Orvelin", true));
    EXPECT_EQ(text(loadPluginConfig()), R"({"Float":1.0})");
    EXPECT_TRUE(testing_support::isDirectory(pluginFile));
    EXPECT_TRUE(testing_support::isDirectory("config\\Orvelin.cfg\\inside"));
}

TEST_F(ConfigFile, AFileWhereTheFolderShouldBeIsLeftAlone) {
    writeFile("config", "not a folder");
    EXPECT_EQ(text(loadPluginConfig()), R"({"Float":1.0})");
    EXPECT_EQ(readFile("config"), "not a folder");
}

#if defined(_WIN32)
TEST_F(ConfigFile, AFileLockedByAnotherHandleIsLeftAlone) {
    platform::makeDirectory("config");
    writeFile(pluginFile, R"({"Float": 7})");
    HANDLE locked = CreateFileA(pluginFile.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locked, INVALID_HANDLE_VALUE);
    const json result = loadPluginConfig();
    CloseHandle(locked);
    EXPECT_EQ(text(result), R"({"Float":1.0})");
    EXPECT_EQ(readFile(pluginFile), R"({"Float": 7})");
}
#endif

TEST_F(ConfigFile, HostileContentNeitherCrashesNorExhaustsTheStack) {
    platform::makeDirectory("config");
    const std::size_t depth = 100000;
    const std::string deepArray = std::string(depth, '[') + std::string(depth, ']');
    std::string deepObject;
    for (std::size_t i = 0; i < depth; ++i) {
        deepObject += "{\"a\":";
    }
    deepObject += "1" + std::string(depth, '}');
    const std::pair<const char*, std::string> contents[] = {
        {"a deep array", deepArray},
        {"a deep array under the key", "{\"Float\": " + deepArray + "}"},
        {"a deep object under an extra key", "{\"Float\": 4, \"x\": " + deepObject + "}"},
        {"an unterminated deep array", std::string(depth, '[')},
    };
    for (const auto& [name, content] : contents) {
        writeFile(pluginFile, content);
        const json result = loadPluginConfig();
        EXPECT_TRUE(result.is_object()) << name;
        EXPECT_EQ(result.size(), 1u) << name;
    }
}

TEST_F(ConfigFile, ALargeFileIsRead) {
    platform::makeDirectory("config");
    const std::string padding(64u << 20, 'p');
    writeFile(pluginFile, "{\"Float\": 6, \"Padding\": \"" + padding + "\"}");
    EXPECT_EQ(text(loadPluginConfig()), R"({"Float":6})");
    EXPECT_EQ(readFile(pluginFile), testing_support::expected::storedConfig("6"));
}

} // namespace
