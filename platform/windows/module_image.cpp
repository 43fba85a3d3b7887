#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include <windows.h>

#include "platform/module_image.hpp"

#include <psapi.h>

namespace platform {

std::optional<ModuleImage> mainModuleImage() {
    HMODULE module = GetModuleHandleW(nullptr);
    MODULEINFO info{};
    if (module == nullptr ||
        !K32GetModuleInformation(GetCurrentProcess(), module, &info, sizeof(info))) {
        return std::nullopt;
    }
    return ModuleImage{static_cast<const unsigned char*>(info.lpBaseOfDll),
                       static_cast<std::uint32_t>(info.SizeOfImage)};
}

} // namespace platform
