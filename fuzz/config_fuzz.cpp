// Any bytes as config\Orvelin.cfg: loading never crashes, yields an object that reconciling again
// leaves alone, and the file it writes is a fixed point (loading it again changes nothing).

#include "config/config.hpp"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

const nlohmann::json defaults = {{"Float", 1.0}};

std::string readBack() {
    std::ifstream in("config/Orvelin.cfg", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A private folder: the store works relative to the working directory.
    char folder[] = "/tmp/orvelin-config-fuzz-XXXXXX";
    require(mkdtemp(folder) != nullptr);
    std::filesystem::current_path(folder);
    std::filesystem::create_directory("config");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        std::ofstream out("config/Orvelin.cfg", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const nlohmann::json first = loadConfig("Orvelin", defaults, true);
    require(first.is_object());
    require(reconcileConfig(first, defaults).dump() == first.dump());
    const std::string written = readBack();
    const nlohmann::json second = loadConfig("Orvelin", defaults, true);
    require(second.dump() == first.dump());
    require(readBack() == written);
    return 0;
}
