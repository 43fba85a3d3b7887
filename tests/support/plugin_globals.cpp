// The module-wide objects that the plug-in module builds at load (plugin/module.cpp), for programs
// that link the plug-in's code instead of loading the module: the same values, but no
// configuration file is read or written by starting.

#include "config/config.hpp"
#include "plugin/orvelin.hpp"

const std::string configDirectory = configFolder;

nlohmann::json modConfig;

const SML::Mod::Mod::Info PluginDescriptor = pluginDescription();
