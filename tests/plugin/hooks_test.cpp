#include "plugin/hooks.hpp"

#include "config/config.hpp"
#include "engine/locator.hpp"
#include "loader/loader.hpp"
#include "plugin/orvelin.hpp"
#include "runner/engine_image.hpp"
#include "support.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <type_traits>

using SML::Objects::AFGPlayerController;
using SML::Objects::ELevelTick;
using SML::Objects::FKey;
using SML::Objects::InputEvent;

namespace {

// The handlers' wrappers have exactly the signatures the loader's subscriptions take.
static_assert(
    std::is_same_v<HookInvoker<&AFGPlayerController::BeginPlay>::Handler,
                   std::function<void(SML::Mod::Functions::ModReturns*, AFGPlayerController*)>>);
static_assert(
    std::is_same_v<HookInvoker<&SML::Objects::PlayerInput::InputKey>::Handler,
                   std::function<bool(SML::Mod::Functions::ModReturns*, SML::Objects::PlayerInput*,
                                      FKey, InputEvent, float, bool)>>);
static_assert(std::is_same_v<HookInvoker<&SML::Objects::UWorld::Tick>::Handler,
                             std::function<void(SML::Mod::Functions::ModReturns*,
                                                SML::Objects::UWorld*, ELevelTick, float)>>);

class Hooks : public ::testing::Test {
protected:
    void SetUp() override {
        runner::startEngine();
        SML::Host::discardPlugin();
        testing_support::Capture quiet;
        plugin = std::make_unique<Orvelin>();
        plugin->setup();
    }
    void TearDown() override {
        testing_support::Capture quiet;
        plugin.reset();
        SML::Host::discardPlugin();
    }
    std::unique_ptr<SML::Mod::Mod> plugin;
};

TEST_F(Hooks, TheControllerThatLastBeganPlayIsKept) {
    AFGPlayerController first;
    AFGPlayerController second;
    SML::Host::fireBeginPlay(&first);
    EXPECT_EQ(currentPlayerController, &first);
    SML::Host::fireBeginPlay(&second);
    EXPECT_EQ(currentPlayerController, &second);
    SML::Host::fireBeginPlay(nullptr);
    EXPECT_EQ(currentPlayerController, nullptr);
}

TEST_F(Hooks, EveryKeyInputYieldsFalse) {
    SML::Objects::PlayerInput input;
    for (InputEvent event : {InputEvent::Pressed, InputEvent::Released, InputEvent::Repeat,
                             InputEvent::DoubleClick, InputEvent::Axis}) {
        for (bool gamepad : {false, true}) {
            EXPECT_EQ(SML::Host::fireInputKey(&input, FKey{"SpaceBar"}, event, 1.0f, gamepad),
                      std::vector<bool>{false});
        }
    }
    EXPECT_EQ(SML::Host::fireInputKey(nullptr, FKey{}, InputEvent::Pressed, -1.0f, false),
              std::vector<bool>{false});
}

TEST_F(Hooks, AWorldTickChangesNoPluginState) {
    AFGPlayerController controller;
    SML::Host::fireBeginPlay(&controller);
    const nlohmann::json config = modConfig;
    const std::uint64_t globals[] = {engineGlobal1, engineGlobal2, engineGlobal3};

    testing_support::Capture capture;
    SML::Objects::UWorld world;
    for (ELevelTick tick : {ELevelTick::TimeOnly, ELevelTick::ViewportsOnly, ELevelTick::All,
                            ELevelTick::PauseTick}) {
        for (float seconds : {0.0f, 1.0f / 60.0f, 3600.0f, -1.0f}) {
            SML::Host::fireWorldTick(&world, tick, seconds);
            SML::Host::fireWorldTick(nullptr, tick, seconds);
        }
    }
    EXPECT_EQ(currentPlayerController, &controller);
    EXPECT_EQ(modConfig, config);
    EXPECT_EQ(engineGlobal1, globals[0]);
    EXPECT_EQ(engineGlobal2, globals[1]);
    EXPECT_EQ(engineGlobal3, globals[2]);
    EXPECT_TRUE(capture.operations().empty()) << "a tick calls nothing of the loader";
    EXPECT_EQ(capture.console(), "");
}

} // namespace
