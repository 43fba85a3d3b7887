#include "platform/temporary_files.hpp"

#include "platform/process.hpp"

#include <atomic>
#include <charconv>
#include <filesystem>
#include <system_error>

namespace platform {

namespace temporary_files {

namespace {

constexpr std::string_view suffix = ".tmp";

// Parses a number that fills the text.
std::optional<std::uint64_t> number(std::string_view digits) {
    std::uint64_t value = 0;
    const auto [end, failure] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || failure != std::errc() || end != digits.data() + digits.size()) {
        return std::nullopt;
    }
    return value;
}

// The writer's id when name is "<target>.<id>.<serial>.tmp", or "<target>.<id>.tmp" as saves
// named them before each had a serial.
std::optional<std::uint64_t> writerOf(std::string_view name, std::string_view target) {
    if (name.size() <= target.size() + 1 + suffix.size() || !name.starts_with(target) ||
        name[target.size()] != '.' || !name.ends_with(suffix)) {
        return std::nullopt;
    }
    const std::string_view middle =
        name.substr(target.size() + 1, name.size() - target.size() - 1 - suffix.size());
    const std::size_t dot = middle.find('.');
    if (dot != std::string_view::npos && !number(middle.substr(dot + 1))) {
        return std::nullopt;
    }
    return number(middle.substr(0, dot));
}

std::atomic<std::uint64_t> serials{0};

} // namespace

std::string pathFor(const std::string& path, std::uint64_t writer, std::uint64_t serial) {
    return path + "." + std::to_string(writer) + "." + std::to_string(serial) + std::string(suffix);
}

std::uint64_t nextSerial() {
    return serials.fetch_add(1);
}

std::uint64_t upcomingSerial() {
    return serials.load();
}

void removeStale(const std::string& path) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const std::string targetName = target.filename().string();
    const fs::path folder = target.has_parent_path() ? target.parent_path() : fs::path(".");
    std::error_code error;
    for (fs::directory_iterator entry(folder, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::optional<std::uint64_t> writer =
            writerOf(entry->path().filename().string(), targetName);
        if (writer && *writer != processId() && !processRunning(*writer)) {
            std::error_code ignored;
            fs::remove(entry->path(), ignored);
        }
    }
}

} // namespace temporary_files

} // namespace platform
