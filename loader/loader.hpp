#pragma once
// The local loader's side that faces the game: what the host runner (and tests) use to drive the
// services a plug-in sees in sml.hpp.

#include "loader/sml.hpp"

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace SML::Host {

// Name of the loader's log file in the game folder.
inline constexpr const char* logFileName = "SML.log";
// Environment variable naming a file that receives one line per loader operation.
inline constexpr const char* traceVariable = "ORVELIN_LOADER_TRACE";

// Opens (truncating) Utility::logFile; call before loading any plug-in.
SML_API void openLogFile(const std::string& path);
SML_API void closeLogFile();

// Puts the console's colour back to the terminal's own (plug-ins leave it at their last colour).
SML_API void restoreConsoleColour();

// Trace lines go to the file named by ORVELIN_LOADER_TRACE (read when the loader loads) and to
// the sink, if one is set. Tests set a sink; an empty function removes it.
SML_API void setTraceSink(std::function<void(const std::string&)> sink);
// Records one of the host's own steps ("ModCreate", "setup", ...) in the trace.
SML_API void trace(const std::string& line);

// Packages that plug-ins said they depend on, in the order they said it.
SML_API std::vector<std::string> dependedPaks();

// Runs every handler subscribed to the hooked method, in subscription order. fireInputKey returns
// the handlers' results in that order.
SML_API void fireBeginPlay(SML::Objects::AFGPlayerController* controller);
SML_API std::vector<bool> fireInputKey(SML::Objects::PlayerInput* input, SML::Objects::FKey key,
                                       SML::Objects::InputEvent event, float amountDepressed,
                                       bool gamepad);
SML_API void fireWorldTick(SML::Objects::UWorld* world, SML::Objects::ELevelTick tickType,
                           float deltaSeconds);

struct Subscriptions {
    std::size_t beginPlay = 0;
    std::size_t inputKey = 0;
    std::size_t worldTick = 0;
    std::size_t events = 0;
};
SML_API Subscriptions subscriptions();

// Forgets every handler, event function and package of the plug-in just deleted: they may point
// into a module that is about to be unloaded.
SML_API void discardPlugin();

} // namespace SML::Host
