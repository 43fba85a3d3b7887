#pragma once
// The plug-in's handlers on the game's methods.

#include "loader/sml.hpp"

class Orvelin;

// The controller that last began play; never cleared, so it may outlive its controller.
extern SML::Objects::AFGPlayerController* currentPlayerController;

// Subscribes the three handlers, holding the plug-in by reference: BeginPlay records the
// controller, every key input returns false, a world tick changes nothing.
void subscribeGameHooks(Orvelin& plugin);
