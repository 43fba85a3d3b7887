// orvelin-scan: checks offline whether the plug-in's engine patterns still find their globals in a
// game executable, and helps mend them when a game update broke one: match counts, a signature of
// the user's own, near matches, and new signatures. Exit status: 0 found (or made), 1 not found
// (or no unique signature), 2 the file is no usable PE32+ image, 3 a malformed argument.

#include "scan/executable.hpp"
#include "scan/hex.hpp"
#include "scan/instructions.hpp"
#include "scan/make_signature.hpp"
#include "scan/near.hpp"
#include "scan/signature.hpp"

#include "orvelin_version.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <iostream>

namespace {

using nlohmann::json;
using scan::hex;

constexpr int found = 0;
constexpr int notFound = 1;
constexpr int unusableFile = 2;
constexpr int badArgument = 3;

std::string dump(const json& document) {
    return document.dump(2, ' ', false, json::error_handler_t::replace);
}

int refuse(const std::string& option, const std::string& why) {
    std::cerr << "orvelin-scan: " << option << ": " << why << '\n';
    return badArgument;
}

std::optional<std::uint64_t> parseRva(std::string text) {
    if (text.starts_with("0x") || text.starts_with("0X")) {
        text.erase(0, 2);
    }
    if (text.empty() || text.size() > 16 ||
        text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
        return std::nullopt;
    }
    return std::stoull(text, nullptr, 16);
}

std::string rvaList(const std::vector<std::uint64_t>& rvas) {
    std::string text;
    for (const std::uint64_t rva : rvas) {
        text += (text.empty() ? "" : ", ") + hex(rva);
    }
    return text;
}

// "; matches once", or how many and where, saying when the plug-in's pick is ambiguous.
std::string countText(std::uint64_t matches, const std::vector<std::uint64_t>& rvas) {
    if (matches == 1) {
        return "; matches once";
    }
    return "; matches " + std::to_string(matches) +
           " places (ambiguous: the plug-in takes the lowest), at RVA " + rvaList(rvas) +
           (matches > rvas.size() ? ", ..." : "");
}

struct NearReport {
    std::vector<scan::NearMatch> matches;

    json asJson() const {
        json near = json::array();
        for (const scan::NearMatch& match : matches) {
            near.push_back({{"rva", match.offset}, {"differingOffsets", match.differingOffsets}});
        }
        return near;
    }

    void print() const {
        for (const scan::NearMatch& match : matches) {
            std::string offsets;
            for (const std::size_t offset : match.differingOffsets) {
                offsets += (offsets.empty() ? "" : ", ") + std::to_string(offset);
            }
            std::cout << "  near match at RVA " << hex(match.offset) << ": offset"
                      << (match.differingOffsets.size() == 1 ? " " : "s ") << offsets
                      << (match.differingOffsets.size() == 1 ? " differs" : " differ") << '\n';
        }
    }
};

NearReport nearMatches(const scan::ExecutableImage& image, const BytePattern& pattern,
                       std::size_t near) {
    if (near == 0) {
        return {};
    }
    return {scan::findNearMatches(image.bytes.data(),
                                  static_cast<std::uint32_t>(image.bytes.size()), pattern, near)};
}

int checkEnginePatterns(const std::string& path, const scan::ExecutableImage& image, bool asJson,
                        std::size_t near) {
    const std::vector<scan::PatternFinding> findings = scan::findEngineGlobals(image);
    bool allFound = true;
    json patterns = json::array();
    for (const scan::PatternFinding& finding : findings) {
        allFound = allFound && finding.found;
        const NearReport nearby =
            nearMatches(image, enginePatterns[static_cast<std::size_t>(finding.pattern - 1)], near);
        if (asJson) {
            json entry = {{"pattern", finding.pattern},
                          {"found", finding.found},
                          {"matches", finding.matches},
                          {"matchRvas", finding.matchRvas}};
            if (finding.matched) {
                entry["matchRva"] = finding.matchRva;
                entry["globalRva"] = finding.globalRva;
                entry["insideImage"] = finding.insideImage;
                entry["section"] = finding.section.empty() ? json() : json(finding.section);
            }
            if (near != 0) {
                entry["near"] = nearby.asJson();
            }
            patterns.push_back(entry);
            continue;
        }
        std::cout << "Pattern " << finding.pattern << ": ";
        if (!finding.matched) {
            std::cout << "not found\n";
        } else {
            const std::string place = !finding.insideImage      ? "outside the image"
                                      : finding.section.empty() ? "in no section"
                                                                : "in " + finding.section;
            std::cout << (finding.found ? "found at RVA " : "not found: the match at RVA ")
                      << hex(finding.matchRva)
                      << (finding.found ? ", global at RVA " : " refers to RVA ")
                      << hex(finding.globalRva) << ' ' << place
                      << countText(finding.matches, finding.matchRvas) << '\n';
        }
        nearby.print();
    }
    if (asJson) {
        std::cout << dump({{"executable", path}, {"patterns", patterns}, {"allFound", allFound}})
                  << '\n';
    }
    return allFound ? found : notFound;
}

int checkSignature(const scan::ExecutableImage& image, const std::string& text,
                   const scan::Signature& signature, bool asJson, std::size_t near) {
    const BytePattern pattern = signature.pattern();
    const PatternMatches matches = image.countMatches(std::span(&pattern, 1)).front();
    std::vector<std::uint64_t> rvas;
    for (const unsigned char* match : matches.lowest) {
        rvas.push_back(image.rvaOf(match));
    }
    const NearReport nearby = nearMatches(image, pattern, near);
    if (asJson) {
        json document = {{"pattern", text}, {"matches", matches.count}, {"matchRvas", rvas}};
        if (near != 0) {
            document["near"] = nearby.asJson();
        }
        std::cout << dump(document) << '\n';
    } else {
        std::cout << "Pattern " << scan::notation(signature) << ": ";
        if (matches.count == 0) {
            std::cout << "not found\n";
        } else {
            std::cout << (matches.count == 1 ? "matches once"
                                             : std::to_string(matches.count) + " matches")
                      << ", at RVA " << rvaList(rvas)
                      << (matches.count > rvas.size() ? ", ..." : "") << '\n';
        }
        nearby.print();
    }
    return matches.count > 0 ? found : notFound;
}

int makeSignature(const scan::ExecutableImage& image, std::uint64_t rva, bool asJson) {
    std::string why;
    const std::optional<scan::MadeSignature> made = scan::makeSignature(image, rva, why);
    if (!made) {
        if (asJson) {
            std::cout << dump({{"rva", rva}, {"error", why}}) << '\n';
        } else {
            std::cout << "No signature: " << why << '\n';
        }
        return notFound;
    }
    const scan::Signature& signature = made->signature;
    if (asJson) {
        std::cout << dump({{"rva", rva},
                           {"signature", scan::notation(signature)},
                           {"bytes", scan::escapedBytes(signature)},
                           {"mask", signature.mask},
                           {"length", signature.length()}})
                  << '\n';
        return found;
    }
    std::cout << "Signature at RVA " << hex(rva) << " (" << signature.length()
              << " bytes, matches once):\n  " << scan::notation(signature) << "\n  bytes \""
              << scan::escapedBytes(signature) << "\"\n  mask  \"" << signature.mask
              << "\"\nIt covers:\n";
    for (const std::string& instruction : made->instructions) {
        std::cout << "  " << instruction << '\n';
    }
    return found;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Checks whether the Orvelin plug-in's three byte patterns still find their engine "
                 "globals in a game executable, without running it, and helps mend a pattern "
                 "that a game update broke. Exit status: 0 found (or made), 1 not found (or no "
                 "unique signature), 2 not a usable PE32+ image, 3 a malformed argument.",
                 "orvelin-scan"};
    std::string path;
    app.add_option("executable", path, "The game executable (a 64-bit Windows .exe)")->required();
    bool asJson = false;
    app.add_flag("--json", asJson, "Print the result as one JSON document");
    std::string patternText;
    auto* patternOption = app.add_option(
        "--pattern", patternText,
        "Look for this signature instead of the engine patterns: hex bytes separated by blanks, "
        "? or ?? for any byte, e.g. \"48 8B 05 ?? ?? ?? 03 48 85 C0\"");
    std::size_t near = 0;
    auto* nearOption =
        app.add_option("--near", near,
                       "Also list up to 5 places where all but at most K fixed bytes match, "
                       "fewest differences first, with the offsets that differ")
            ->check(CLI::Range(1, 4));
    std::string rvaText;
    app.add_option("--make-signature", rvaText,
                   "Make the shortest signature of whole instructions that starts at this RVA "
                   "(hexadecimal, e.g. 0x1A2B3C) and matches only there")
        ->excludes(patternOption)
        ->excludes(nearOption);
    app.set_version_flag("--version", std::string("orvelin-scan ") + orvelin_build::version);
    CLI11_PARSE(app, argc, argv);

    // Arguments first: a malformed one is named before the file is read.
    std::optional<scan::Signature> signature;
    if (!patternText.empty() || patternOption->count() > 0) {
        std::string error;
        signature = scan::parseSignature(patternText, error);
        if (!signature) {
            return refuse("--pattern", error);
        }
    }
    std::optional<std::uint64_t> rva;
    if (!rvaText.empty()) {
        if (!scan::decodesInstructions()) {
            return refuse("--make-signature", "this build of orvelin-scan cannot decode "
                                              "instructions: use the Linux build");
        }
        rva = parseRva(rvaText);
        if (!rva) {
            return refuse("--make-signature", "'" + rvaText +
                                                  "' is not an RVA: write it in hexadecimal, "
                                                  "as 0x1A2B3C");
        }
    }

    std::string error;
    const std::optional<scan::ExecutableImage> image = scan::layOutFile(path, error);
    if (!image) {
        if (asJson) {
            std::cout << dump({{"executable", path}, {"error", error}}) << '\n';
        } else {
            std::cerr << "orvelin-scan: " << path << ": " << error << '\n';
        }
        return unusableFile;
    }
    if (rva) {
        if (*rva >= image->bytes.size()) {
            return refuse("--make-signature", "RVA " + hex(*rva) +
                                                  " lies outside the image (SizeOfImage " +
                                                  hex(image->bytes.size()) + ")");
        }
        return makeSignature(*image, *rva, asJson);
    }
    if (signature) {
        return checkSignature(*image, patternText, *signature, asJson, near);
    }
    return checkEnginePatterns(path, *image, asJson, near);
}
