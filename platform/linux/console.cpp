#include "platform/console.hpp"

#include <unistd.h>

namespace platform {

bool stdoutIsConsole() {
    return isatty(STDOUT_FILENO) == 1;
}

bool stderrIsConsole() {
    return isatty(STDERR_FILENO) == 1;
}

bool setConsoleAttribute(int) {
    return false;
}

} // namespace platform
