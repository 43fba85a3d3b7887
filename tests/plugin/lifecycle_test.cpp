#include "plugin/orvelin.hpp"

#include "host/loader.hpp"
#include "runner/engine_image.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <memory>

using testing_support::Capture;

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
    // about missing globals.
    void SetUp() override {
        runner::startEngine();
        SML::Host::discardPlugin();
    }
    void TearDown() override { SML::Host::discardPlugin(); }
};

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
    const std::string lines = "[Orvelin] Finished Orvelin setup!\n"
                              "[Orvelin] Orvelin's post setup has been completed!\n"
                              "[Orvelin] Orvelin finished cleanup!\n";
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
    SML::Mod::Functions::broadcastEvent(postSetupEvent);
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
    EXPECT_EQ(info.version, "1.0.5");
    EXPECT_EQ(info.description, "Tavrek Orvelin");
    EXPECT_EQ(info.authors, "Halvorn");
    EXPECT_TRUE(info.dependencies.empty());
    EXPECT_NE(dynamic_cast<Orvelin*>(plugin.get()), nullptr);
}

} // namespace
