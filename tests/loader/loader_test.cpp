#include "loader/loader.hpp"

#include "support.hpp"

#include <gtest/gtest.h>

using SML::Objects::ELevelTick;
using SML::Objects::FKey;
using SML::Objects::InputEvent;
using testing_support::Capture;

namespace {

std::vector<int> calls;
void first() {
    calls.push_back(1);
}
void second() {
    calls.push_back(2);
}
void other() {
    calls.push_back(3);
}

void* untyped(void (*function)()) {
    return reinterpret_cast<void*>(function);
}

class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        SML::Host::discardPlugin();
        calls.clear();
    }
    void TearDown() override { SML::Host::discardPlugin(); }
};

TEST_F(Loader, BroadcastCallsEveryFunctionOfTheNameInRegistrationOrder) {
    SML::Mod::Functions::registerEvent("Ready", untyped(second));
    SML::Mod::Functions::registerEvent("Other", untyped(other));
    SML::Mod::Functions::registerEvent("Ready", untyped(first));
    SML::Mod::Functions::registerEvent("Ready", nullptr);
    SML::Mod::Functions::broadcastEvent("Ready");
    EXPECT_EQ(calls, (std::vector<int>{2, 1}));
    calls.clear();
    SML::Mod::Functions::broadcastEvent("Nobody");
    SML::Mod::Functions::broadcastEvent("ready");
    EXPECT_TRUE(calls.empty());
}

TEST_F(Loader, HooksRunInSubscriptionOrderAndReturnTheirResults) {
    std::vector<std::string> seen;
    HookInvoker<&SML::Objects::PlayerInput::InputKey>::subscribe(
        [&](SML::Mod::Functions::ModReturns*, SML::Objects::PlayerInput*, FKey key, InputEvent,
            float, bool) {
            seen.push_back("a " + key.name);
            return true;
        });
    HookInvoker<&SML::Objects::PlayerInput::InputKey>::subscribe(
        [&](SML::Mod::Functions::ModReturns* returns, SML::Objects::PlayerInput*, FKey key,
            InputEvent, float, bool) {
            seen.push_back("b " + key.name);
            return returns != nullptr && returns->useOriginalFunction;
        });
    HookInvoker<&SML::Objects::UWorld::Tick>::subscribe(
        [&](SML::Mod::Functions::ModReturns*, SML::Objects::UWorld*, ELevelTick, float seconds) {
            seen.push_back("tick " + std::to_string(static_cast<int>(seconds)));
        });
    EXPECT_EQ(SML::Host::fireInputKey(nullptr, FKey{"Q"}, InputEvent::Pressed, 1.0f, false),
              (std::vector<bool>{true, true}));
    SML::Host::fireWorldTick(nullptr, ELevelTick::All, 2.0f);
    SML::Host::fireBeginPlay(nullptr);
    EXPECT_EQ(seen, (std::vector<std::string>{"a Q", "b Q", "tick 2"}));
}

TEST_F(Loader, AHandlerMaySubscribeWhileItRuns) {
    int runs = 0;
    HookInvoker<&SML::Objects::AFGPlayerController::BeginPlay>::subscribe(
        [&](SML::Mod::Functions::ModReturns*, SML::Objects::AFGPlayerController*) {
            ++runs;
            for (int i = 0; i < 8; ++i) {
                HookInvoker<&SML::Objects::AFGPlayerController::BeginPlay>::subscribe(
                    [&](SML::Mod::Functions::ModReturns*, SML::Objects::AFGPlayerController*) {
                        ++runs;
                    });
            }
        });
    SML::Host::fireBeginPlay(nullptr);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(SML::Host::subscriptions().beginPlay, 9u);
}

TEST_F(Loader, DiscardingThePluginForgetsAllItLeft) {
    SML::Mod::Functions::setDependsOnPak("RUD_p");
    SML::Mod::Functions::registerEvent("Ready", untyped(first));
    HookInvoker<&SML::Objects::UWorld::Tick>::subscribe(
        [](SML::Mod::Functions::ModReturns*, SML::Objects::UWorld*, ELevelTick, float) {});
    SML::Host::discardPlugin();
    SML::Mod::Functions::broadcastEvent("Ready");
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(SML::Host::dependedPaks().empty());
    EXPECT_EQ(SML::Host::subscriptions().worldTick, 0u);
}

TEST_F(Loader, TraceNamesEachOperationAndItsArguments) {
    Capture capture;
    SML::Mod::Functions::setDependsOnPak("RUD_p");
    SML::Mod::Functions::registerEvent("Ready", untyped(first));
    SML::Mod::Functions::broadcastEvent("Ready");
    SML::Utility::writeHeader("Orvelin", 5);
    SML::Utility::setConsoleColor(9);
    SML::Utility::log(5);
    HookInvoker<&SML::Objects::AFGPlayerController::BeginPlay>::subscribe({});
    HookInvoker<&SML::Objects::PlayerInput::InputKey>::subscribe({});
    HookInvoker<&SML::Objects::UWorld::Tick>::subscribe({});
    SML::Host::trace("unload");
    EXPECT_EQ(capture.operations(),
              (std::vector<std::string>{
                  "setDependsOnPak RUD_p", "registerEvent Ready", "broadcastEvent Ready",
                  "writeHeader Orvelin 5", "setConsoleColor 9", "log 5",
                  "subscribe AFGPlayerController::BeginPlay", "subscribe PlayerInput::InputKey",
                  "subscribe UWorld::Tick", "unload"}));
}

TEST_F(Loader, HeaderOpensTheLineOnBothSinksAndColoursStayOffAPipe) {
    // Tests run with standard output redirected, never a terminal.
    Capture capture;
    SML::Utility::writeHeader("Orvelin", 5);
    SML::Utility::setConsoleColor(9);
    SML::Utility::setConsoleColor(-1);
    SML::Utility::setConsoleColor(16);
    EXPECT_EQ(capture.console(), "[Orvelin] ");
    EXPECT_EQ(capture.file(), "[Orvelin] ");
}

} // namespace
