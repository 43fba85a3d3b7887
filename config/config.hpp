#pragma once
// Configuration store: one JSON file per configuration name, fitted on every load to a document
// of defaults and written back.

#include <nlohmann/json.hpp>

#include <string>

// Directory prefix of configuration files: "config" and one backslash. The module sets
// configDirectory to configFolder at load, before the bootstrap.
inline constexpr const char* configFolder = "config\\";
extern const std::string configDirectory;
// The plug-in's configuration, as reconciled and written at module load.
extern nlohmann::json modConfig;

// The configuration's file: configDirectory (when useDirectory) + configName + ".cfg", relative
// to the working directory. Touches no file.
std::string configPath(const std::string& configName, bool useDirectory);

// A regular file stands at the path and can be opened for reading (a folder, pipe or device
// cannot), found without ever waiting on it.
bool configExists(const std::string& configName, bool useDirectory);

// Reads the file, reconciles it with the defaults, rewrites it and returns the result. A missing
// file is created from the defaults; malformed content yields the defaults. A path taken by
// something that cannot be read, and a file whose read fails, are left untouched, and the
// defaults returned. CR LF line ends and a Ctrl-Z read alike in every build.
nlohmann::json loadConfig(const std::string& configName, const nlohmann::json& defaults,
                          bool useDirectory);

// Writes the document: 4-blank indent, members in key order, the platform's line ends, none
// after the last brace. Creates configDirectory first when useDirectory. The file is replaced in
// one step once the new text is on the disk, so a crash, a failed write or a concurrent reader
// never sees it half-written; a file this process may not write is left as it is.
void saveConfig(const std::string& configName, const nlohmann::json& document, bool useDirectory);

// Fits loaded to the defaults (an object): members the defaults lack are dropped, missing ones
// added, wrongly typed ones reset, nested objects fitted alike. Integers stand where a
// floating-point default is; a floating-point value where the default is an integer does not.
// Keys starting with "$" keep any value unless their default is an object. A loaded value that
// is neither an object nor null yields a copy of the defaults.
nlohmann::json reconcileConfig(nlohmann::json loaded, const nlohmann::json& defaults);

// The module-load step: loads "Orvelin" against its built-in defaults in configDirectory.
// Never throws, since an exception would escape a static initialiser.
nlohmann::json bootstrapConfig() noexcept;
