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
    InputKeyHook::Handler onInputKey = [&plugin](ModReturns*, PlayerInput*, SML::Objects::FKey,
                                                 SML::Objects::InputEvent, float, bool) {
        static_cast<void>(plugin);
        return false;
    };
    WorldTickHook::Handler onWorldTick = [&plugin](ModReturns*, UWorld*, SML::Objects::ELevelTick,
                                                   float) { static_cast<void>(plugin); };
    BeginPlayHook::subscribe(onBeginPlay);
    InputKeyHook::subscribe(onInputKey);
    WorldTickHook::subscribe(onWorldTick);
}
