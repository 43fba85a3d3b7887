// orvelin-scan: checks offline whether the plug-in's engine patterns still find their globals in a
// game executable, and helps mend them when a game update broke one: match counts, a signature of
// the user's own, near matches, and new signatures. Exit status: 0 found (or made), 1 not found
// (or no unique signature), 2 the file is no usable PE32+ image, 3 a malformed argument.

#include "scan/engine_entry.hpp"
#include "scan/executable.hpp"
#include "scan/hex.hpp"
#include "scan/make_signature.hpp"
#include "scan/near.hpp"
#include "scan/signature.hpp"

#include "orvelin_version.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <iostream>

namespace {

using nlohmann::json;
using scan::hex;

constexpr int found = 0;
constexpr int notFound = 1;
constexpr int unusableFile = 2;
constexpr int badArgument = 3;

// Where every outcome goes: text lines, or with --json one document on standard output that
// carries the exit status.
class Output {
public:
    explicit Output(bool asJson) : asJson_(asJson) {}

    bool asJson() const { return asJson_; }

    int document(json report, int status) const {
        report["exitStatus"] = status;
        std::cout << report.dump(2, ' ', false, json::error_handler_t::replace) << '\n';
        return status;
    }

    // One line on standard error, or a document with the error.
    int error(const std::string& line, int status, json report = json::object()) const {
        if (asJson_) {
            report["error"] = line;
            return document(std::move(report), status);
        }
        std::cerr << "orvelin-scan: " << line << '\n';
        return status;
    }

private:
    bool asJson_;
};

std::string oneLine(std::string text) {
    std::replace(text.begin(), text.end(), '\n', ' ');
    while (!text.empty() && text.back() == ' ') {
        text.pop_back();
    }
    return text;
}

// An RVA as a user or a script writes it: 0x and hexadecimal digits, or decimal digits as the
// JSON output prints them.
std::optional<std::uint64_t> parseRva(const std::string& text) {
    const bool hexadecimal = text.starts_with("0x") || text.starts_with("0X");
    const std::string_view digits = std::string_view(text).substr(hexadecimal ? 2 : 0);
    std::uint64_t value = 0;
    const auto [end, failure] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, hexadecimal ? 16 : 10);
    if (digits.empty() || failure != std::errc() || end != digits.data() + digits.size() ||
        digits.front() == '-' || digits.front() == '+') {
        return std::nullopt;
    }
    return value;
}

std::string rvaList(const std::vector<std::uint64_t>& rvas) {
    std::string text;
    for (const std::uint64_t rva : rvas) {
        text += (text.empty() ? "" : ", ") + hex(rva);
    }
    return text;
}

// " (refers to RVA X in S)" for a match whose instruction has the engine patterns' shape.
std::string refersText(const scan::ExecutableImage& image, std::uint64_t rva) {
    const std::optional<std::uint64_t> global = scan::engineReferenceAt(image, rva);
    if (!global) {
        return "";
    }
    const std::string section = image.sectionAt(*global);
    return " (refers to RVA " + hex(*global) +
           (section.empty()
                ? (*global < image.bytes.size() ? " in no section" : " outside the image")
                : " in " + section) +
           ")";
}

// The RVA each match refers to, where its instruction has the engine patterns' shape.
json refersJson(const scan::ExecutableImage& image, const std::vector<std::uint64_t>& rvas) {
    json references = json::array();
    for (const std::uint64_t rva : rvas) {
        const std::optional<std::uint64_t> global = scan::engineReferenceAt(image, rva);
        references.push_back(global ? json(*global) : json());
    }
    return references;
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
    bool asked = false;
    scan::NearMatches near;

    void addTo(json& report, const scan::ExecutableImage& image) const {
        if (!asked) {
            return;
        }
        json places = json::array();
        for (const scan::NearMatch& match : near.listed) {
            json place = {{"rva", match.offset}, {"differingOffsets", match.differingOffsets}};
            if (const auto global = scan::engineReferenceAt(image, match.offset)) {
                place["refersTo"] = *global;
            }
            places.push_back(place);
        }
        report["near"] = places;
        report["nearTotal"] = near.total;
    }

    void print(const scan::ExecutableImage& image) const {
        for (const scan::NearMatch& match : near.listed) {
            std::string offsets;
            for (const std::size_t offset : match.differingOffsets) {
                offsets += (offsets.empty() ? "" : ", ") + std::to_string(offset);
            }
            std::cout << "  near match at RVA " << hex(match.offset) << ": offset"
                      << (match.differingOffsets.size() == 1 ? " " : "s ") << offsets
                      << (match.differingOffsets.size() == 1 ? " differs" : " differ")
                      << refersText(image, match.offset) << '\n';
        }
        if (near.total > near.listed.size()) {
            std::cout << "  (" << near.total << " near places in all; --list N shows more)\n";
        }
    }
};

NearReport nearMatches(const scan::ExecutableImage& image, const BytePattern& pattern,
                       std::size_t near, std::size_t listed) {
    if (near == 0) {
        return {};
    }
    return {true, scan::findNearMatches(image.bytes.data(),
                                        static_cast<std::uint32_t>(image.bytes.size()), pattern,
                                        near, listed)};
}

int checkEnginePatterns(const Output& out, const std::string& path,
                        const scan::ExecutableImage& image, std::size_t near, std::size_t listed) {
    const std::vector<scan::PatternFinding> findings = scan::findEngineGlobals(image);
    bool allFound = true;
    json patterns = json::array();
    for (const scan::PatternFinding& finding : findings) {
        allFound = allFound && finding.found;
        const NearReport nearby = nearMatches(
            image, enginePatterns[static_cast<std::size_t>(finding.pattern - 1)], near, listed);
        if (out.asJson()) {
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
            nearby.addTo(entry, image);
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
        nearby.print(image);
    }
    const int status = allFound ? found : notFound;
    if (out.asJson()) {
        return out.document({{"executable", path}, {"patterns", patterns}, {"allFound", allFound}},
                            status);
    }
    return status;
}

int checkSignature(const Output& out, const scan::ExecutableImage& image, const std::string& text,
                   const scan::Signature& signature, std::size_t near, std::size_t listed) {
    const BytePattern pattern = signature.pattern();
    const PatternMatches matches = image.countMatches(std::span(&pattern, 1)).front();
    std::vector<std::uint64_t> rvas;
    for (const unsigned char* match : matches.lowest) {
        rvas.push_back(image.rvaOf(match));
    }
    const NearReport nearby = nearMatches(image, pattern, near, listed);
    const int status = matches.count > 0 ? found : notFound;
    if (out.asJson()) {
        json document = {{"pattern", text},
                         {"matches", matches.count},
                         {"matchRvas", rvas},
                         {"refersTo", refersJson(image, rvas)}};
        nearby.addTo(document, image);
        return out.document(document, status);
    }
    std::cout << "Pattern " << scan::notation(signature) << ": ";
    if (matches.count == 0) {
        std::cout << "not found\n";
    } else {
        std::cout << (matches.count == 1 ? "matches once"
                                         : std::to_string(matches.count) + " matches")
                  << ", at RVA ";
        for (std::size_t n = 0; n < rvas.size(); ++n) {
            std::cout << (n == 0 ? "" : ", ") << hex(rvas[n]) << refersText(image, rvas[n]);
        }
        std::cout << (matches.count > rvas.size() ? ", ..." : "") << '\n';
    }
    nearby.print(image);
    return status;
}

json enginePatternJson(const scan::EnginePatternFit& fit) {
    if (!fit.usable) {
        return {{"usable", false}, {"why", fit.why}};
    }
    return {{"usable", true},
            {"globalRva", fit.globalRva},
            {"section", fit.section.empty() ? json() : json(fit.section)},
            {"bytes", scan::escapedBytes(fit.entry)},
            {"mask", fit.entry.mask},
            {"entry", scan::tableEntry(fit.entry)}};
}

json signatureJson(const scan::ExecutableImage& image, const scan::MadeSignature& made) {
    const scan::Signature& signature = made.signature;
    return {
        {"signature", scan::notation(signature)},
        {"bytes", scan::escapedBytes(signature)},
        {"mask", signature.mask},
        {"length", signature.length()},
        {"instructions", made.instructions},
        {"enginePattern", enginePatternJson(scan::fitAsEnginePattern(image, signature, made.rva))}};
}

void printSignature(const scan::ExecutableImage& image, const scan::MadeSignature& made) {
    const scan::Signature& signature = made.signature;
    std::cout << "  " << scan::notation(signature) << "\n  bytes \""
              << scan::escapedBytes(signature) << "\"\n  mask  \"" << signature.mask
              << "\"\nIt covers:\n";
    for (const std::string& instruction : made.instructions) {
        std::cout << "  " << instruction << '\n';
    }
    const scan::EnginePatternFit fit = scan::fitAsEnginePattern(image, signature, made.rva);
    if (!fit.usable) {
        std::cout << "As an engine pattern of the plug-in: no, " << fit.why << ".\n";
        return;
    }
    std::cout << "As an engine pattern of the plug-in: yes, its global lies at RVA "
              << hex(fit.globalRva) << (fit.section.empty() ? "" : " in " + fit.section)
              << ". The table's entry (true where the slot keeps the global's value):\n  "
              << scan::tableEntry(fit.entry) << '\n';
}

// How the place follows from the signature's match.
std::string resolutionText(std::uint64_t place, const scan::ReferenceSignature& made) {
    const std::size_t offset = made.instructionOffset;
    return "RVA " + hex(place) + " = match + " + std::to_string(offset) + " + " +
           std::to_string(made.reference.length) + " + the signed 32-bit value at match + " +
           std::to_string(offset + made.reference.fieldOffset);
}

int makeSignature(const Output& out, const scan::ExecutableImage& image, std::uint64_t rva,
                  bool byReference) {
    std::string why;
    const std::optional<scan::MadeSignature> made = scan::makeSignature(image, rva, why);
    std::optional<scan::MadeSignature> interior;
    std::vector<scan::ReferenceSignature> references;
    if (!made) {
        interior = scan::makeInteriorSignature(image, rva);
    }
    if (!made || byReference) {
        references = scan::makeReferenceSignatures(image, rva);
    }
    const std::optional<scan::FunctionExtent> function = image.functionAt(rva);
    const int status = made || interior || !references.empty() ? found : notFound;
    if (out.asJson()) {
        json document = {{"rva", rva}};
        if (made) {
            document.update(signatureJson(image, *made));
        } else {
            document["error"] = why;
        }
        if (interior) {
            json entry = signatureJson(image, *interior);
            entry["matchRva"] = interior->rva;
            entry["placeOffset"] = -static_cast<std::int64_t>(interior->rva - rva);
            document["interior"] = entry;
        }
        document["function"] =
            function ? json{{"begin", function->begin}, {"end", function->end}} : json();
        if (!made || byReference) {
            json list = json::array();
            for (const scan::ReferenceSignature& reference : references) {
                json entry = signatureJson(image, reference.made);
                entry["rva"] = reference.reference.rva;
                entry["matchRva"] = reference.made.rva;
                entry["instructionOffset"] = reference.instructionOffset;
                entry["instructionLength"] = reference.reference.length;
                entry["fieldOffset"] =
                    reference.instructionOffset + reference.reference.fieldOffset;
                entry["branch"] = reference.reference.branch;
                entry["resolvesTo"] = rva;
                list.push_back(entry);
            }
            document["references"] = list;
        }
        return out.document(document, status);
    }
    if (made) {
        std::cout << "Signature at RVA " << hex(rva) << " (" << made->signature.length()
                  << " bytes, matches once):\n";
        printSignature(image, *made);
    } else if (!interior && references.empty()) {
        std::cout << "No signature: " << why
                  << "; nor has any later instruction of its function or any instruction that "
                     "refers to it\n";
        return status;
    } else {
        std::cout << "No signature of its own: " << why << ".\n";
    }
    if (interior) {
        std::cout << "Signature inside its function at RVA " << hex(interior->rva) << " ("
                  << interior->signature.length() << " bytes, matches once):\n";
        printSignature(image, *interior);
        std::cout << "From its match: RVA " << hex(rva) << " = match - " << interior->rva - rva
                  << " (the plug-in's findPattern offset "
                  << -static_cast<std::int64_t>(interior->rva - rva) << ")\n";
    }
    for (std::size_t n = 0; n < references.size(); ++n) {
        const scan::ReferenceSignature& reference = references[n];
        std::cout << "Reference signature " << n + 1 << ": " << reference.reference.text
                  << " at RVA " << hex(reference.reference.rva) << " refers to RVA " << hex(rva)
                  << "; the signature starts at RVA " << hex(reference.made.rva) << " ("
                  << reference.made.signature.length() << " bytes, matches once):\n";
        printSignature(image, reference.made);
        std::cout << "From its match: " << resolutionText(rva, reference) << '\n';
    }
    return status;
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Checks whether the Orvelin plug-in's three byte patterns still find their engine "
                 "globals in a game executable, without running it, and helps mend a pattern "
                 "that a game update broke. Exit status: 0 found (or made), 1 not found (or no "
                 "unique signature), 2 not a usable PE32+ image, 3 a malformed argument.",
                 "orvelin-scan"};
    // A Unix path such as /games/Game.exe (under Wine) is a path, never a Windows-style option.
    app.allow_windows_style_options(false);
    std::string path;
    app.add_option("executable", path, "The game executable (a 64-bit Windows .exe)")->required();
    bool asJson = false;
    app.add_flag("--json", asJson,
                 "Print every outcome, errors included, as one JSON document with its exitStatus");
    std::string patternText;
    auto* patternOption = app.add_option(
        "--pattern", patternText,
        "Look for this signature instead of the engine patterns: hex bytes separated by blanks, "
        "? or ?? for any byte, e.g. \"48 8B 05 ?? ?? ?? 03 48 85 C0\"");
    std::size_t near = 0;
    auto* nearOption =
        app.add_option("--near", near,
                       "Also list places where all but at most K fixed bytes match, fewest "
                       "differences first, with the offsets that differ, and count them")
            ->check(CLI::Range(1, 4));
    std::size_t listed = 5;
    app.add_option("--list", listed, "With --near: list up to N places (default 5)")
        ->needs(nearOption)
        ->check(CLI::Range(1, 1000000));
    std::string rvaText;
    auto* rvaOption =
        app.add_option("--make-signature", rvaText,
                       "Make the shortest signature of whole instructions that starts at this RVA "
                       "(0x1A2B3C in hexadecimal, or decimal digits as --json prints RVAs), stays "
                       "in its function and matches only there; or one of an instruction that "
                       "refers to it")
            ->excludes(patternOption)
            ->excludes(nearOption);
    bool byReference = false;
    app.add_flag("--by-reference", byReference,
                 "With --make-signature: also make signatures of instructions that refer to it")
        ->needs(rvaOption);
    app.set_version_flag("--version", std::string("orvelin-scan ") + orvelin_build::version);

    // Known before parsing, so that even a malformed command line gets its answer as JSON.
    const bool jsonWanted = std::any_of(
        argv + 1, argv + argc, [](const char* each) { return std::string_view(each) == "--json"; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& failure) {
        if (failure.get_exit_code() == 0) {
            return app.exit(failure); // --help, --version
        }
        return Output(jsonWanted).error(oneLine(failure.what()), badArgument);
    }
    const Output out(asJson);

    // Arguments first: a malformed one is named before the file is read.
    std::optional<scan::Signature> signature;
    if (patternOption->count() > 0) {
        std::string error;
        signature = scan::parseSignature(patternText, error);
        if (!signature) {
            return out.error("--pattern: " + error, badArgument);
        }
    }
    std::optional<std::uint64_t> rva;
    if (rvaOption->count() > 0) {
        rva = parseRva(rvaText);
        if (rvaText.empty()) {
            return out.error("--make-signature: the RVA is empty", badArgument);
        }
        if (!rva) {
            return out.error("--make-signature: '" + rvaText +
                                 "' is not an RVA: write 0x and hexadecimal digits (0x1A2B3C) "
                                 "or decimal digits (1715004)",
                             badArgument);
        }
    }

    std::string error;
    const std::optional<scan::ExecutableImage> image = scan::layOutFile(path, error);
    if (!image) {
        if (out.asJson()) {
            return out.document({{"executable", path}, {"error", error}}, unusableFile);
        }
        return out.error(path + ": " + error, unusableFile);
    }
    if (rva) {
        if (const std::optional<std::string> refusal = scan::refuseSignatureAt(*image, *rva)) {
            return out.error("--make-signature: " + *refusal, badArgument, {{"rva", *rva}});
        }
        return makeSignature(out, *image, *rva, byReference);
    }
    if (signature) {
        return checkSignature(out, *image, patternText, *signature, near, listed);
    }
    return checkEnginePatterns(out, path, *image, near, listed);
}
