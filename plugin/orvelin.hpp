#pragma once
// The plug-in object, its descriptor and its event. The module builds the descriptor and exports
// ModCreate (plugin/module.cpp).

#include "loader/sml.hpp"

class Orvelin : public SML::Mod::Mod {
public:
    Orvelin();
    // Locates the engine globals, declares the packages, subscribes the game hooks, registers
    // the post-setup event and logs that setup finished.
    void setup() override;
    // Raises the post-setup event.
    void postSetup() override;
    // Logs the farewell line.
    ~Orvelin() override;

    // Hook handler for AFGPlayerController::BeginPlay.
    void onPlayerControllerBeginPlay(SML::Mod::Functions::ModReturns* returns,
                                     SML::Objects::AFGPlayerController* controller);
};

// Who the plug-in is, for the loader. Built at module load after the configuration, from
// pluginDescription().
extern const SML::Mod::Mod::Info PluginDescriptor;
SML::Mod::Mod::Info pluginDescription();

// The plug-in's named event.
inline constexpr const char* postSetupEvent = "Orvelin_PostSetupComplete";

// Handler of the post-setup event.
void onPostSetupComplete();
