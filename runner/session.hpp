#pragma once
// One game session as the game and its loader play it with a plug-in.

#include <ostream>
#include <string>

namespace runner {

// Loads the plug-in module, creates the plug-in object, calls setup and postSetup, plays a short
// session (controllers begin play, keys are pressed and released, the world ticks), deletes the
// object and unloads the module. A module that cannot be loaded or has no ModCreate gets one line
// on errors naming the path, and false.
bool playSession(const std::string& pluginPath, std::ostream& errors);

} // namespace runner
