#include "runner/session.hpp"

#include "loader/loader.hpp"
#include "platform/process.hpp"

namespace runner {

namespace {

using SML::Objects::ELevelTick;
using SML::Objects::FKey;
using SML::Objects::InputEvent;

// What the game does while the plug-in is loaded: its hooked methods run, and the loader runs
// the plug-in's handlers on them.
void play() {
    SML::Objects::AFGPlayerController host;
    SML::Objects::AFGPlayerController guest;
    SML::Host::fireBeginPlay(&host);
    SML::Host::fireBeginPlay(&guest);
    SML::Host::fireBeginPlay(nullptr);

    SML::Objects::PlayerInput input;
    for (const char* key : {"W", "SpaceBar", "Escape"}) {
        SML::Host::fireInputKey(&input, FKey{key}, InputEvent::Pressed, 1.0f, false);
        SML::Host::fireInputKey(&input, FKey{key}, InputEvent::Released, 0.0f, false);
    }

    SML::Objects::UWorld world;
    for (ELevelTick tick : {ELevelTick::All, ELevelTick::All, ELevelTick::TimeOnly,
                            ELevelTick::ViewportsOnly, ELevelTick::PauseTick}) {
        SML::Host::fireWorldTick(&world, tick, 1.0f / 60.0f);
    }
}

} // namespace

bool playSession(const std::string& pluginPath, std::ostream& errors) {
    std::string reason;
    void* module = platform::loadLibrary(pluginPath, reason);
    if (module == nullptr) {
        errors << "Cannot load the plug-in module " << pluginPath << ": " << reason << '\n';
        return false;
    }
    using Create = SML::Mod::Mod* (*)();
    const auto create = reinterpret_cast<Create>(platform::librarySymbol(module, "ModCreate"));
    if (create == nullptr) {
        errors << "The plug-in module " << pluginPath << " does not export ModCreate\n";
        platform::freeLibrary(module);
        return false;
    }
    SML::Host::trace("ModCreate");
    SML::Mod::Mod* plugin = create();
    SML::Host::trace("setup");
    plugin->setup();
    SML::Host::trace("postSetup");
    plugin->postSetup();
    play();
    SML::Host::trace("delete");
    delete plugin;
    SML::Host::discardPlugin();
    SML::Host::trace("unload");
    platform::freeLibrary(module);
    return true;
}

} // namespace runner
