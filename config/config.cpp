#include "config/config.hpp"

#include "logging/log.hpp"
#include "platform/files.hpp"

#include <string_view>
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

// The file's text as the game's text-mode streams have always read it, the same in every build:
// it ends at a Ctrl-Z byte, a CR before an LF goes with the LF, and the lines are joined with no
// separator.
std::string joinedLines(const std::string& bytes) {
    const std::string_view text = std::string_view(bytes).substr(0, bytes.find('\x1A'));
    std::string content;
    content.reserve(text.size());
    for (std::size_t at = 0; at < text.size(); ++at) {
        const bool lineEnd =
            text[at] == '\n' || (text[at] == '\r' && at + 1 < text.size() && text[at + 1] == '\n');
        if (!lineEnd) {
            content += text[at];
        }
    }
    return content;
}

// The text as a text-mode stream writes it: every line break becomes the platform's line end.
std::string withLineEnds(const std::string& text) {
    std::string written;
    written.reserve(text.size() + text.size() / 8);
    for (const char c : text) {
        if (c == '\n') {
            written += platform::lineEnd;
        } else {
            written += c;
        }
    }
    return written;
}

} // namespace

std::string configPath(const std::string& configName, bool useDirectory) {
    return (useDirectory ? configDirectory : std::string()) + configName + ".cfg";
}

bool configExists(const std::string& configName, bool useDirectory) {
    return platform::isReadableFile(configPath(configName, useDirectory));
}

json loadConfig(const std::string& configName, const json& defaults, bool useDirectory) {
    debugLine("Loading config: " + configName);
    const std::string path = configPath(configName, useDirectory);
    // One read decides: nothing there gets the defaults written; whatever stands there and cannot
    // be read (locked, a folder, a read that failed part-way) is not ours to replace.
    platform::FileContent file;
    try {
        file = platform::readWholeFile(path);
    } catch (...) {
        file.state = platform::FileState::unreadable; // memory ran out while reading
    }
    if (file.state == platform::FileState::absent) {
        saveConfig(configName, defaults, useDirectory);
        return defaults;
    }
    if (file.state == platform::FileState::unreadable) {
        return defaults;
    }
    json parsed;
    try {
        parsed = json::parse(joinedLines(file.bytes));
    } catch (...) {
        // Malformed content reconciles to the defaults.
    }
    file.bytes = std::string(); // a large file's text is not held through the rewrite
    parsed = reconcileConfig(std::move(parsed), defaults);
    saveConfig(configName, parsed, useDirectory);
    return parsed;
}

void saveConfig(const std::string& configName, const json& document, bool useDirectory) {
    debugLine("Saving config: " + configName);
    if (useDirectory) {
        platform::makeDirectory(configDirectory);
    }
    try {
        // Serialised before any file is touched; the old file stays until the new one is whole.
        const std::string text = document.dump(4, ' ', false, json::error_handler_t::strict);
        platform::replaceFile(configPath(configName, useDirectory), withLineEnds(text));
    } catch (...) {
        // A document that cannot be serialised, or memory exhausted, leaves the file as it was.
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
