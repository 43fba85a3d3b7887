#pragma once
// Engine global locator: finds three globals of the game executable through instructions in its
// image that refer to them (the engine patterns), and keeps what it found in three module-wide
// slots.

#include "platform/module_image.hpp"

#include <cstdint>
#include <optional>

// Zero until locateEngineGlobals finds them. Slot 1 holds the value read from its global; slots 2
// and 3 hold their globals' addresses.
extern std::uint64_t engineGlobal1;
extern std::uint64_t engineGlobal2;
extern std::uint64_t engineGlobal3;

// Scans the main executable's image for each pattern in slot order and fills the slots. A
// pattern not found leaves its slot as it was and is logged; so is an unreadable image.
void locateEngineGlobals();
// The same over a given image; empty stands for module information that could not be read.
void locateEngineGlobals(const std::optional<platform::ModuleImage>& image);
