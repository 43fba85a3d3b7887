#include "engine/locator.hpp"

#include "engine/pattern.hpp"
#include "logging/log.hpp"

#include <string>

std::uint64_t engineGlobal1 = 0;
std::uint64_t engineGlobal2 = 0;
std::uint64_t engineGlobal3 = 0;

namespace {

ORVELIN_READS_WHOLE_IMAGE std::uint64_t readImageWord(std::uintptr_t location) {
    std::uint64_t word = 0;
    __builtin_memcpy(&word, reinterpret_cast<const void*>(location), sizeof(word));
    return word;
}

} // namespace

void locateEngineGlobals() {
    locateEngineGlobals(platform::mainModuleImage());
}

void locateEngineGlobals(const std::optional<platform::ModuleImage>& image) {
    if (!image) {
        logAs(pluginLogSource, "Could not read the game executable's module information");
        return;
    }
    std::uint64_t* const slots[] = {&engineGlobal1, &engineGlobal2, &engineGlobal3};
    const EngineReferences references = findEngineReferences(image->base, image->size);
    for (std::size_t n = 0; n < enginePatterns.size(); ++n) {
        const EnginePattern& pattern = enginePatterns[n];
        const std::optional<EngineReference>& found = references[n];
        // A value is read only from a global inside the image: anywhere else may be unmapped.
        const bool readable = found && globalInImage(image->base, image->size, found->location);
        if (!found || (pattern.readsValue && !readable)) {
            logAs(pluginLogSource, "Engine global " + std::to_string(n + 1) +
                                       " was not found in the game executable");
            continue;
        }
        if (pattern.readsValue) {
            *slots[n] = readImageWord(found->location);
        } else {
            *slots[n] = found->location;
        }
    }
}
