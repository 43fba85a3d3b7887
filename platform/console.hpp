#pragma once
// The console the loader writes coloured lines to.

namespace platform {

// Standard output is an interactive console or terminal.
bool stdoutIsConsole();
// Standard error is one: a progress bar can be redrawn in place there.
bool stderrIsConsole();
// Standard output is a terminal that shows colours written as escape sequences (on Windows, a
// console that was switched to take them).
bool stdoutTakesColour();
// Sets the console's text attribute (Windows); false where there is no such attribute to set.
bool setConsoleAttribute(int colour);

} // namespace platform
