#include "config/config.hpp"

#include "logging/log.hpp"
#include "platform/platform.hpp"

#include <fstream>
#include <utility>
#include <vector>

using nlohmann::json;

namespace {

bool isDollarKey(const std::string& key) {
    return !key.empty() && key.front() == '$';
}

// Whether a loaded value may stand where the default is (before any recursion into objects).
bool keepsLoadedValue(const json& fallback, const json& loaded) {
    if (fallback.is_number_integer()) {
        return loaded.is_number_integer();
    }
    if (fallback.is_number_float()) {
        return loaded.is_number();
    }
    return fallback.type() == loaded.type();
}

// Joins the file's lines with no separator, as stored files have always been read.
std::string readJoinedLines(std::ifstream& in) {
    std::string content;
    std::string line;
    while (std::getline(in, line)) {
        content += line;
    }
    return content;
}

} // namespace

std::string configPath(const std::string& configName, bool useDirectory) {
    return (useDirectory ? configDirectory : std::string()) + configName + ".cfg";
}

bool configExists(const std::string& configName, bool useDirectory) {
    const std::string path = configPath(configName, useDirectory);
    std::ifstream in(platform::nativePath(path));
    return in.good() && !platform::isDirectory(path);
}

json loadConfig(const std::string& configName, const json& defaults, bool useDirectory) {
    debugLine("Loading config: " + configName);
    const std::string path = configPath(configName, useDirectory);
    if (!configExists(configName, useDirectory)) {
        // Whatever stands there and cannot be read (locked, a folder) is not ours to replace.
        if (!platform::pathExists(path)) {
            saveConfig(configName, defaults, useDirectory);
        }
        return defaults;
    }
    json parsed;
    std::ifstream in(platform::nativePath(path));
    try {
        parsed = json::parse(readJoinedLines(in));
    } catch (...) {
        // Unreadable content reconciles to the defaults.
    }
    in.close();
    parsed = reconcileConfig(std::move(parsed), defaults);
    saveConfig(configName, parsed, useDirectory);
    return parsed;
}

void saveConfig(const std::string& configName, const json& document, bool useDirectory) {
    debugLine("Saving config: " + configName);
    if (useDirectory) {
        platform::makeDirectory(configDirectory);
    }
    // Serialise before opening: opening empties the file, and a failed dump must not.
    std::string text;
    try {
        text = document.dump(4, ' ', false, json::error_handler_t::strict);
    } catch (...) {
        return;
    }
    std::ofstream out(platform::nativePath(configPath(configName, useDirectory)));
    if (out.is_open()) {
        out << text;
    }
}

json reconcileConfig(json loaded, const json& defaults) {
    if (!loaded.is_object() && !loaded.is_null()) {
        return defaults;
    }
    for (auto member = defaults.begin(); member != defaults.end(); ++member) {
        const std::string& key = member.key();
        const json& fallback = member.value();
        if (loaded.is_null() || !loaded.contains(key)) {
            loaded[key] = fallback;
            continue;
        }
        json& value = loaded[key];
        if (!isDollarKey(key) && !keepsLoadedValue(fallback, value)) {
            value = fallback;
            continue;
        }
        if (fallback.is_object()) {
            value = reconcileConfig(std::move(value), fallback);
        }
    }
    if (loaded.is_object()) {
        std::vector<std::string> extra;
        for (auto member = loaded.begin(); member != loaded.end(); ++member) {
            if (!defaults.contains(member.key())) {
                extra.push_back(member.key());
            }
        }
        for (const std::string& key : extra) {
            loaded.erase(key);
        }
    }
    return loaded;
}

json bootstrapConfig() noexcept {
    try {
        const json defaultConfig = {{"Float", 1.0}};
        return loadConfig("Orvelin", defaultConfig, true);
    } catch (...) {
        // Only memory exhaustion gets here; the game must still start.
        return json();
    }
}
