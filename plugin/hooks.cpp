#include "plugin/hooks.hpp"

#include "plugin/orvelin.hpp"

#include <functional>

using SML::Mod::Functions::ModReturns;
using SML::Objects::AFGPlayerController;
using SML::Objects::PlayerInput;
using SML::Objects::UWorld;

using BeginPlayHook = HookInvoker<&AFGPlayerController::BeginPlay>;
using InputKeyHook = HookInvoker<&PlayerInput::InputKey>;
using WorldTickHook = HookInvoker<&UWorld::Tick>;

AFGPlayerController* currentPlayerController = nullptr;

void Orvelin::onPlayerControllerBeginPlay(ModReturns*, AFGPlayerController* controller) {
    currentPlayerController = controller;
}

void subscribeGameHooks(Orvelin& plugin) {
    using namespace std::placeholders;
    BeginPlayHook::Handler onBeginPlay =
        std::bind(&Orvelin::onPlayerControllerBeginPlay, &plugin, _1, _2);
    // Input and ticks are observed and passed on; neither needs the plug-in.
    InputKeyHook::Handler onInputKey = [](ModReturns*, PlayerInput*, SML::Objects::FKey,
                                          SML::Objects::InputEvent, float, bool) { return false; };
    WorldTickHook::Handler onWorldTick = [](ModReturns*, UWorld*, SML::Objects::ELevelTick, float) {
    };
    BeginPlayHook::subscribe(onBeginPlay);
    InputKeyHook::subscribe(onInputKey);
    WorldTickHook::subscribe(onWorldTick);
}
