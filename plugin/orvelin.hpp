#pragma once
// The plug-in object, its descriptor, its event and the module's one export.

#include "host/sml.hpp"

#if defined(_WIN32)
#define ORVELIN_EXPORT __declspec(dllexport)
#else
#define ORVELIN_EXPORT __attribute__((visibility("default")))
#endif

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

// Who the plug-in is, for the loader. Built at module load after the configuration.
extern const SML::Mod::Mod::Info PluginDescriptor;

// Names the plug-in uses with the loader.
inline constexpr const char* pluginLogSource = "Orvelin";
inline constexpr const char* postSetupEvent = "Orvelin_PostSetupComplete";

// Handler of the post-setup event.
void onPostSetupComplete();

// The module's only export: a new plug-in object, owned by the caller.
extern "C" ORVELIN_EXPORT SML::Mod::Mod* ModCreate();
