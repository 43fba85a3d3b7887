#include "plugin/orvelin.hpp"

#include "engine/locator.hpp"
#include "logging/log.hpp"
#include "plugin/hooks.hpp"

#include "orvelin_version.hpp"

SML::Mod::Mod::Info pluginDescription() {
    return {orvelin_build::loaderVersion, "Orvelin",
            orvelin_build::version,       orvelin_build::description,
            orvelin_build::authors,       {}};
}

Orvelin::Orvelin() : SML::Mod::Mod(PluginDescriptor) {}

void Orvelin::setup() {
    locateEngineGlobals();
    SML::Mod::Functions::setDependsOnPak("RUD_p");
    SML::Mod::Functions::setDependsOnPak("Orvelin_p");
    subscribeGameHooks(*this);
    SML::Mod::Functions::registerEvent(postSetupEvent,
                                       reinterpret_cast<void*>(&onPostSetupComplete));
    logAs(pluginLogSource, "Finished Orvelin setup!");
}

void Orvelin::postSetup() {
    SML::Mod::Functions::broadcastEvent(postSetupEvent);
}

Orvelin::~Orvelin() {
    logAs(pluginLogSource, "Orvelin finished cleanup!");
}

void onPostSetupComplete() {
    logAs(pluginLogSource, "Orvelin's post setup has been completed!");
}
