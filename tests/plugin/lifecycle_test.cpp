// The plug-in module's life as the loader sees it: the real module loaded into this program, as
// the runner loads it, its object made by ModCreate.

#include "expected.hpp"
#include "loader/loader.hpp"
#include "orvelin_version.hpp"
#include "platform/files.hpp"
#include "platform/process.hpp"
#include "plugin/orvelin.hpp"
#include "runner/engine_image.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <typeinfo>

using testing_support::Capture;
using testing_support::lineEnd;
using testing_support::readFile;

namespace {

using Steps = std::vector<std::string>;

const Steps pluginLine = {"writeHeader Orvelin 5", "setConsoleColor 9", "log 5",
                          "setConsoleColor 14"};

Steps concat(std::initializer_list<Steps> parts) {
    Steps all;
    for (const Steps& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class Lifecycle : public ::testing::Test {
protected:
    // This program carries the engine instructions, as the game does, so setup logs nothing
    // about missing globals. The module loads in a fresh folder.
    void SetUp() override {
        runner::startEngine();
        SML::Host::discardPlugin();
        std::string error;
        module = platform::loadLibrary(testing_support::builtModule(), error);
        ASSERT_NE(module, nullptr) << error;
        create = reinterpret_cast<Create>(platform::librarySymbol(module, "ModCreate"));
        ASSERT_NE(create, nullptr);
    }
    void TearDown() override {
        SML::Host::discardPlugin();
        if (module != nullptr) {
            platform::freeLibrary(module);
        }
    }

    SML::Mod::Mod* ModCreate() const { return create(); }

    testing_support::ScratchFolder folder{
        ::testing::UnitTest::GetInstance()->current_test_info()->name()};
    using Create = SML::Mod::Mod* (*)();
    void* module = nullptr;
    Create create = nullptr;
};

TEST_F(Lifecycle, LoadingTheModuleWroteTheConfigurationInItsFolder) {
    // configDirectory was set before the bootstrap used it, and the bootstrap saved what it holds
    // in modConfig: the defaults, as nothing was there.
    EXPECT_EQ(readFile("config\\Orvelin.cfg"), testing_support::expected::storedConfig());
    EXPECT_FALSE(platform::pathExists("Orvelin.cfg"));
}

TEST_F(Lifecycle, FullLifeCycleLogsThreeLinesInOrder) {
    Capture capture;
    SML::Mod::Mod* plugin = ModCreate();
    plugin->setup();
    plugin->postSetup();
    delete plugin;

    EXPECT_EQ(
        capture.operations(),
        concat({{"setDependsOnPak RUD_p", "setDependsOnPak Orvelin_p",
                 "subscribe AFGPlayerController::BeginPlay", "subscribe PlayerInput::InputKey",
                 "subscribe UWorld::Tick", "registerEvent Orvelin_PostSetupComplete"},
                pluginLine,
                {"broadcastEvent Orvelin_PostSetupComplete"},
                pluginLine,
                pluginLine}));
    const std::string lines = testing_support::expected::sessionLog("\n");
    EXPECT_EQ(capture.console(), lines);
    EXPECT_EQ(capture.file(), lines);
    EXPECT_EQ(SML::Host::dependedPaks(), (Steps{"RUD_p", "Orvelin_p"}));
}

TEST_F(Lifecycle, PostSetupWithoutSetupLogsNothing) {
    Capture capture;
    std::unique_ptr<SML::Mod::Mod> plugin(ModCreate());
    plugin->postSetup();
    EXPECT_EQ(capture.operations(), (Steps{"broadcastEvent Orvelin_PostSetupComplete"}));
    EXPECT_EQ(capture.file(), "");
}

TEST_F(Lifecycle, DestroyingAnObjectThatNeverRanSetupStillSaysGoodbye) {
    Capture capture;
    delete ModCreate();
    EXPECT_EQ(capture.operations(), pluginLine);
    EXPECT_EQ(capture.file(), "[Orvelin] Orvelin finished cleanup!\n");
}

TEST_F(Lifecycle, EveryBroadcastOfTheEventLogsAgain) {
    std::unique_ptr<SML::Mod::Mod> plugin(ModCreate());
    plugin->setup();
    Capture capture;
    plugin->postSetup();
    SML::Mod::Functions::broadcastEvent("Orvelin_PostSetupComplete");
    EXPECT_EQ(capture.file(), "[Orvelin] Orvelin's post setup has been completed!\n"
                              "[Orvelin] Orvelin's post setup has been completed!\n");
}

TEST_F(Lifecycle, EachSetupSubscribesOnce) {
    std::unique_ptr<SML::Mod::Mod> plugin(ModCreate());
    plugin->setup();
    const SML::Host::Subscriptions once = SML::Host::subscriptions();
    EXPECT_EQ(once.beginPlay, 1u);
    EXPECT_EQ(once.inputKey, 1u);
    EXPECT_EQ(once.worldTick, 1u);
    EXPECT_EQ(once.events, 1u);
}

TEST_F(Lifecycle, TheObjectCarriesTheDescriptor) {
    std::unique_ptr<SML::Mod::Mod> plugin(ModCreate());
    const SML::Mod::Mod::Info& info = plugin->info();
    EXPECT_EQ(info.loaderVersion, "1.0.2");
    EXPECT_EQ(info.name, "Orvelin");
    EXPECT_EQ(info.version, orvelin_build::version); // the project's one version
    EXPECT_EQ(info.description, "Tavrek Orvelin");
    EXPECT_EQ(info.authors, "Halvorn");
    EXPECT_TRUE(info.dependencies.empty());
    // Type identities differ between modules; the names do not.
    EXPECT_STREQ(typeid(*plugin).name(), typeid(Orvelin).name());
}

} // namespace
