// Module-wide state built at module load. It lives in this one translation unit so that it is
// built in the order written here, and destroyed in reverse at unload: the configuration file is
// read and rewritten before the loader can ask for the plug-in object.

#include "config/config.hpp"
#include "plugin/orvelin.hpp"

#include <iostream>

// Taken once and never read: importing the loader's version binds the module to the loader.
[[maybe_unused]] static const std::string loaderVersionCopy = smlVersion;

const std::string configDirectory = "config\\";

nlohmann::json modConfig = bootstrapConfig();

const SML::Mod::Mod::Info PluginDescriptor = {
    "1.0.2", "Orvelin", "1.0.5", "Tavrek Orvelin", "Halvorn", {},
};
