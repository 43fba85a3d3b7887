#pragma once
// The main executable's image in memory, which the engine patterns are looked for in.

#include <cstdint>
#include <optional>

namespace platform {

// Its load address and size. Every byte of the range is readable. Empty when the module
// information cannot be read.
struct ModuleImage {
    const unsigned char* base = nullptr;
    std::uint32_t size = 0;
};
std::optional<ModuleImage> mainModuleImage();

} // namespace platform
