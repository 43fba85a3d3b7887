// What the process services have in common on every system.

#include "platform/process.hpp"

#include <cstdlib>

namespace platform {

std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr) {
        return std::nullopt;
    }
    return std::string(value);
}

} // namespace platform
