// Any bytes as an executable file: laying it out never crashes, never reads outside the file or
// writes outside the image, and an image that was laid out can be scanned.

#include "scan/engine/engine_findings.hpp"

#include <cstdint>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so that the sanitizer sees any read past the end of the file.
    const std::string file(reinterpret_cast<const char*>(data), size);
    const scan::Outcome<scan::ExecutableImage> image =
        scan::layOutImage(file, std::uint64_t{16} << 20);
    if (image) {
        for (const scan::PatternFinding& finding : scan::findEngineGlobals(*image)) {
            if (finding.found && finding.matchRva >= image->bytes.size()) {
                __builtin_trap();
            }
        }
    } else if (image.error().detail.empty()) {
        __builtin_trap();
    }
    return 0;
}
