#include "plugin/hooks.hpp"

#include "plugin/orvelin.hpp"

#include <functional>

using SML::Mod::Functions::ModReturns;
using SML::Objects::AFGPlayerController;
using SML::Objects::PlayerInput;
using SML::Objects::UWorld;

AFGPlayerController* currentPlayerController = nullptr;

void Orvelin::onPlayerControllerBeginPlay(ModReturns*, AFGPlayerController* controller) {
    currentPlayerController = controller;
}

void subscribeGameHooks(Orvelin& plugin) {
    using namespace std::placeholders;
    HookInvoker<& AFGPlayerController::BeginPlay>::Handler onBeginPlay =
        std::bind(&Orvelin::onPlayerControllerBeginPlay, &plugin, _1, _2);
    HookInvoker<& PlayerInput::InputKey>::Handler onInputKey =
        [&plugin](ModReturns*, PlayerInput*, SML::Objects::FKey, SML::Objects::InputEvent, float,
                  bool) {
            static_cast<void>(plugin);
            return false;
        };
    HookInvoker<& UWorld::Tick>::Handler onWorldTick = [&plugin](ModReturns*, UWorld*,
                                                                 SML::Objects::ELevelTick, float) {
        static_cast<void>(plugin);
    };
    HookInvoker<&AFGPlayerController::BeginPlay>::subscribe(onBeginPlay);
    HookInvoker<&PlayerInput::InputKey>::subscribe(onInputKey);
    HookInvoker<&UWorld::Tick>::subscribe(onWorldTick);
}
