// What the plug-in module does when it is loaded, and its one export. Built into the module
// alone: a program that links the plug-in's code reads and writes no file by starting.
//
// The module-wide objects live in this one translation unit so that they are built in the order
// written here, and destroyed in reverse at unload: the configuration file is read and rewritten
// before the loader can ask for the plug-in object.

#include "config/config.hpp"
#include "plugin/orvelin.hpp"

#if defined(_WIN32)
#define ORVELIN_EXPORT __declspec(dllexport)
#else
#define ORVELIN_EXPORT __attribute__((visibility("default")))
#endif

// Taken once and never read: importing the loader's version binds the module to the loader.
[[maybe_unused]] static const std::string loaderVersionCopy = smlVersion;

const std::string configDirectory = configFolder;

nlohmann::json modConfig = bootstrapConfig();

const SML::Mod::Mod::Info PluginDescriptor = pluginDescription();

// The module's only export: a new plug-in object, owned by the caller.
extern "C" ORVELIN_EXPORT SML::Mod::Mod* ModCreate() {
    return new Orvelin();
}
