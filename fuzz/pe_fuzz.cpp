// Any bytes as an executable file: laying it out never crashes, never reads outside the file or
// writes outside the image, and an image that was laid out can be scanned, its functions mapped
// and their exception data read, whatever its tables say; and matched with itself, every
// function pairs with itself or with nothing, its lines all the same and no field moved.

#include "scan/changes/field_moves.hpp"
#include "scan/changes/function_diff.hpp"
#include "scan/engine/engine_findings.hpp"
#include "scan/image/funclets.hpp"
#include "scan/image/function_map.hpp"
#include "scan/match/match.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace {

// Each input's work is bounded by what it asks to decode, so that none takes more than about a
// second in this build: bytes of code, each of which may be an instruction of its own.
constexpr std::uint64_t mostDecoded = 2048;
constexpr std::size_t mostEntries = 256;

// The bytes of code that are no zero fill, in the executable sections and in each directory entry
// (entries may overlap; each is read on its own); counted up to a little past `most`. The zero
// fill is stepped over as a memory scan.
std::uint64_t codeToDecode(const scan::ExecutableImage& image, std::uint64_t most) {
    if (image.functions.size() > mostEntries) {
        return most + 1;
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> code; // [begin, end), ascending
    std::uint64_t total = 0;
    for (const scan::Section& section : image.sections) {
        const std::uint64_t end = std::uint64_t{section.virtualAddress} + section.span;
        for (std::uint64_t at = section.virtualAddress; section.executable && at < end;) {
            if (const std::size_t fill = image.zeroFillAt(at); fill > 0) {
                at += fill;
                continue;
            }
            if (!code.empty() && code.back().second == at) {
                ++code.back().second;
            } else {
                code.emplace_back(at, at + 1);
            }
            if (++total > most) {
                return total;
            }
            ++at;
        }
    }
    std::sort(code.begin(), code.end());
    for (const scan::FunctionExtent& entry : image.functions) {
        auto run =
            std::upper_bound(code.begin(), code.end(),
                             std::pair<std::uint64_t, std::uint64_t>{entry.begin, UINT64_MAX});
        if (run != code.begin()) {
            --run;
        }
        for (; run != code.end() && run->first < entry.end; ++run) {
            const std::uint64_t begin = std::max<std::uint64_t>(run->first, entry.begin);
            const std::uint64_t end = std::min<std::uint64_t>(run->second, entry.end);
            total += end > begin ? end - begin : 0;
            if (total > most) {
                return total;
            }
        }
    }
    return total;
}

} // namespace

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
        // A walk to a place decodes the code before it: only where there is little.
        if (codeToDecode(*image, mostDecoded) > mostDecoded) {
            places.clear();
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
        // Only a little code to match: the matcher decodes all of it, each entry on its own.
        if (codeToDecode(*image, mostDecoded) <= mostDecoded) {
            const scan::BuildMatch match = scan::matchBuilds(*image, *image);
            // A build against itself: every function its own pair, every line the same, and no
            // field moved.
            scan::Counterparts counterparts(*image, *image, match);
            for (const scan::FunctionPair& pair : match.pairs) {
                if (pair.oldRva != pair.newRva || !pair.same) {
                    __builtin_trap();
                }
                // A function of no instructions holds no RVA to ask by.
                const scan::Outcome<scan::FunctionDiff> diff =
                    scan::diffFunction(counterparts, pair.oldRva, false);
                if (diff && diff->counts[0] != diff->lines.size()) {
                    __builtin_trap();
                }
            }
            if (!scan::fieldMoves(*image, *image, match).moves.empty()) {
                __builtin_trap();
            }
        }
    } else if (image.error().detail.empty()) {
        __builtin_trap();
    }
    return 0;
}
