#include "platform/console.hpp"

#include <unistd.h>

#include <cstdlib>
#include <string_view>

namespace platform {

bool stdoutIsConsole() {
    return isatty(STDOUT_FILENO) == 1;
}

bool stdoutTakesColour() {
    const char* term = std::getenv("TERM");
    return stdoutIsConsole() && term != nullptr && std::string_view(term) != "dumb";
}

bool stderrIsConsole() {
    return isatty(STDERR_FILENO) == 1;
}

bool setConsoleAttribute(int) {
    return false;
}

} // namespace platform
