#include "plugin/orvelin.hpp"

#include "engine/locator.hpp"
#include "logging/log.hpp"
#include "plugin/hooks.hpp"

SML::Mod::Mod::Info pluginDescription() {
    return {"1.0.2", "Orvelin", "1.0.5", "Tavrek Orvelin", "Halvorn", {}};
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
