// orvelin-scan: checks offline whether the plug-in's engine patterns still find their globals in a
// game executable. Exit status 0 when all three are found, 1 when any is missing, 2 when the file
// is not a usable PE32+ image.

#include "scan/executable.hpp"
#include "scan/hex.hpp"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <iostream>

namespace {

using scan::hex;

void printText(const std::vector<scan::PatternFinding>& findings) {
    for (const scan::PatternFinding& finding : findings) {
        std::cout << "Pattern " << finding.pattern << ": ";
        if (!finding.matched) {
            std::cout << "not found\n";
            continue;
        }
        const std::string place = !finding.insideImage      ? "outside the image"
                                  : finding.section.empty() ? "in no section"
                                                            : "in " + finding.section;
        std::cout << (finding.found ? "found at RVA " : "not found: the match at RVA ")
                  << hex(finding.matchRva)
                  << (finding.found ? ", global at RVA " : " refers to RVA ")
                  << hex(finding.globalRva) << ' ' << place << '\n';
    }
}

nlohmann::json asJson(const std::vector<scan::PatternFinding>& findings) {
    nlohmann::json patterns = nlohmann::json::array();
    for (const scan::PatternFinding& finding : findings) {
        nlohmann::json entry = {{"pattern", finding.pattern}, {"found", finding.found}};
        if (finding.matched) {
            entry["matchRva"] = finding.matchRva;
            entry["globalRva"] = finding.globalRva;
            entry["insideImage"] = finding.insideImage;
            entry["section"] =
                finding.section.empty() ? nlohmann::json() : nlohmann::json(finding.section);
        }
        patterns.push_back(entry);
    }
    return patterns;
}

std::string dump(const nlohmann::json& document) {
    return document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
}

} // namespace

int main(int argc, char** argv) {
    CLI::App app{"Checks whether the Orvelin plug-in's three byte patterns still find their engine "
                 "globals in a game executable, without running it. Exit status: 0 all found, "
                 "1 any missing, 2 not a usable PE32+ image.",
                 "orvelin-scan"};
    std::string path;
    app.add_option("executable", path, "The game executable (a 64-bit Windows .exe)")->required();
    bool json = false;
    app.add_flag("--json", json, "Print the result as one JSON document");
    CLI11_PARSE(app, argc, argv);

    std::string error;
    const std::optional<scan::ExecutableImage> image = scan::layOutFile(path, error);
    if (!image) {
        if (json) {
            std::cout << dump({{"executable", path}, {"error", error}}) << '\n';
        } else {
            std::cerr << "orvelin-scan: " << path << ": " << error << '\n';
        }
        return 2;
    }
    const std::vector<scan::PatternFinding> findings = scan::findEngineGlobals(*image);
    bool allFound = true;
    for (const scan::PatternFinding& finding : findings) {
        allFound = allFound && finding.found;
    }
    if (json) {
        std::cout << dump({{"executable", path},
                           {"patterns", asJson(findings)},
                           {"allFound", allFound}})
                  << '\n';
    } else {
        printText(findings);
    }
    return allFound ? 0 : 1;
}
