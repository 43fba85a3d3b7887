// Any bytes as an executable file: laying it out never crashes, never reads outside the file or
// writes outside the image, and an image that was laid out can be scanned, its functions mapped
// and their exception data read, whatever its tables say; and matched with itself, every
// function pairs with itself or with nothing.

#include "scan/engine/engine_findings.hpp"
#include "scan/image/funclets.hpp"
#include "scan/image/function_map.hpp"
#include "scan/match/match.hpp"

#include <cstdint>
#include <string>
#include <vector>

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
        // A few functions of the directory and the export table: each one's start lies at or
        // before it, and no function is a funclet of its own.
        std::vector<std::uint64_t> places;
        for (std::size_t n = 0; n < image->functions.size() && n < 2; ++n) {
            places.push_back(image->functions[n].begin);
        }
        for (std::size_t n = 0; n < image->exports.size() && n < 2; ++n) {
            places.push_back(image->exports[n].rva);
        }
        for (const std::uint64_t place : places) {
            if (place >= image->bytes.size() || !image->inCode(place)) {
                continue;
            }
            if (scan::functionOf(*image, place).begin > place ||
                scan::funcletParentOf(*image, place) == place) {
                __builtin_trap();
            }
        }
        // Only small code: the matcher decodes all of it.
        std::uint64_t code = 0;
        for (const scan::Section& section : image->sections) {
            code += section.executable ? section.span : 0;
        }
        if (code <= (std::uint64_t{1} << 20)) {
            for (const scan::FunctionPair& pair : scan::matchBuilds(*image, *image).pairs) {
                if (pair.oldRva != pair.newRva || !pair.same) {
                    __builtin_trap();
                }
            }
        }
    } else if (image.error().detail.empty()) {
        __builtin_trap();
    }
    return 0;
}
