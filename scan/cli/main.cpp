// orvelin-scan: checks offline whether the plug-in's engine patterns still find their globals in a
// game executable, and helps mend them when a game update broke one. The options become a
// request; the library carries it out and one renderer prints its report.

#include "scan/cli/commands.hpp"
#include "scan/cli/progress.hpp"
#include "scan/cli/render.hpp"

#include "platform/console.hpp"

#include "orvelin_version.hpp"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdlib>
#include <iostream>

int main(int argc, char** argv) {
    CLI::App app{"Checks whether the Orvelin plug-in's three byte patterns still find their engine "
                 "globals in a game executable, without running it, and helps mend a pattern "
                 "that a game update broke. Exit status: 0 found (or made), 1 not found (or no "
                 "unique signature), 2 not a usable PE32+ image, 3 a malformed argument.",
                 "orvelin-scan"};
    // A Unix path such as /games/Game.exe (under Wine) is a path, never a Windows-style option.
    app.allow_windows_style_options(false);
    scan::Request request;
    bool asJson = false;
    std::string pattern;
    std::string rva;
    // Required unless the update command is given, which names its two executables itself.
    app.add_option("executable", request.executable, "The game executable (a 64-bit Windows .exe)");
    app.add_flag("--json", asJson,
                 "Print every outcome, errors included, as one JSON document with its exitStatus");
    auto* patternOption = app.add_option(
        "--pattern", pattern,
        "Look for this signature instead of the engine patterns: hex bytes separated by blanks, "
        "? or ?? for any byte, e.g. \"48 8B 05 ?? ?? ?? 03 48 85 C0\"");
    auto* nearOption =
        app.add_option("--near", request.near,
                       "Also list places where all but at most K fixed bytes match, fewest "
                       "differences first, with the offsets that differ, and count them")
            ->check(CLI::Range(1, 4));
    app.add_option("--list", request.listed, "With --near: list up to N places (default 5)")
        ->needs(nearOption)
        ->check(CLI::Range(1, 1000000));
    auto* rvaOption =
        app.add_option("--make-signature", rva,
                       "Make the shortest signature of whole instructions that starts at this RVA "
                       "(0x1A2B3C in hexadecimal, or decimal digits as --json prints RVAs), stays "
                       "in its function and matches only there; or one of an instruction that "
                       "refers to it, or that addresses a table holding its address")
            ->excludes(patternOption)
            ->excludes(nearOption);
    app.add_flag("--by-reference", request.byReference,
                 "With --make-signature: also make signatures of instructions that refer to it")
        ->needs(rvaOption);
    app.add_option("--margin", request.margin,
                   "With --make-signature: grow each signature, within its function and 64 bytes, "
                   "until every other place differs from it in at least K fixed bytes (default 2)")
        ->needs(rvaOption)
        ->check(CLI::Range(1, 4));
    scan::Request::Update update;
    std::string table;
    auto* updateCommand = app.add_subcommand(
        "update", "Carry the pattern table from an old build of the game to a new one: for each "
                  "entry, find its function again through the pair the two builds' match makes "
                  "of it (see diff) and where several independent anchors agree, with no "
                  "evidence against it, and say whether its signature is unchanged, which new one "
                  "to use (moved), or that it is lost. Exit status 0 when every entry is unchanged "
                  "or moved, 1 otherwise");
    updateCommand->add_option("old", request.executable, "The old build's executable")->required();
    updateCommand->add_option("new", update.newer, "The new build's executable")->required();
    auto* tableOption = updateCommand->add_option(
        "--table", table,
        "The table: one entry a line, NAME SIGNATURE or NAME SIGNATURE @OFFSET (the place is the "
        "match plus OFFSET), # starts a comment; the plug-in's three engine patterns without it");
    std::string writeTable;
    auto* writeTableOption = updateCommand->add_option(
        "--write-table", writeTable,
        "Write the carried table to FILE: the same names with the signatures and offsets to use "
        "in the new build, each lost entry kept as a comment saying why (FILE may be the --table "
        "itself; it is replaced whole or not at all)");
    updateCommand->add_flag("--json", asJson, "Print the outcome as one JSON document");
    updateCommand
        ->add_option("--margin", request.margin,
                     "Grow each new signature until every other place differs from it in at "
                     "least K fixed bytes (default 2)")
        ->check(CLI::Range(1, 4));
    scan::Request::Diff diff;
    scan::TextOptions textOptions;
    auto* diffCommand = app.add_subcommand(
        "diff", "Pair every function of an old build of the game with the new build's, by the "
                "code, the constants and the calls they share and by where they lie, never by "
                "names; a function the evidence does not agree on stays unpaired. Exit status 0 "
                "when both builds could be read");
    diffCommand->add_option("old", request.executable, "The old build's executable")->required();
    diffCommand->add_option("new", diff.newer, "The new build's executable")->required();
    diffCommand->add_flag("--json", asJson,
                          "Print every pair with its evidence, and the unpaired functions, as one "
                          "JSON document");
    diffCommand
        ->add_option("--list", textOptions.listed,
                     "List the first N pairs with their evidence (text)")
        ->check(CLI::Range(1, 100000000));
    std::string evidence;
    CLI::Option* evidenceOption = diffCommand->add_option(
        "--evidence", evidence,
        "Use only these kinds of evidence, comma-separated (code, data, calls, neighbours, "
        "similar, order, imports, callees, constants, wrapper); all without it");
    std::string function;
    std::string functionNew;
    CLI::Option* functionOption = diffCommand->add_option(
        "--function", function,
        "Show one function of the old build, the one holding this RVA: its pair and evidence, or "
        "why it has none, and both builds' instructions aligned as a diff (- removed, + added, ~ "
        "the same instruction with a displacement, an immediate or a target changed, the "
        "changed operand marked). Exit status 1 when it has no pair");
    CLI::Option* functionNewOption =
        diffCommand
            ->add_option("--function-new", functionNew,
                         "The same for the function of the new build holding this RVA")
            ->excludes(functionOption);
    diffCommand
        ->add_flag("--fields", diff.fields,
                   "List how memory displacements moved over every pair's aligned instructions "
                   "(structure offsets; rsp-based ones left out): each old value with its new "
                   "one, how many instructions in how many functions agree, and how many with "
                   "the same old value disagree; with --list N, the first N (default 20)")
        ->excludes(functionOption)
        ->excludes(functionNewOption);
    app.set_version_flag("--version", std::string("orvelin-scan ") + orvelin_build::version);

    scan::Report report = scan::ErrorReport{};
    try {
        app.parse(argc, argv);
        if (updateCommand->parsed()) {
            if (tableOption->count() > 0) {
                update.table = table;
            }
            if (writeTableOption->count() > 0) {
                update.writeTable = writeTable;
            }
            request.update = update;
        } else if (diffCommand->parsed()) {
            if (evidenceOption->count() > 0) {
                diff.evidence = evidence;
            }
            if (functionOption->count() > 0) {
                diff.function = function;
            }
            if (functionNewOption->count() > 0) {
                diff.functionNew = functionNew;
            }
            request.diff = diff;
        } else if (request.executable.empty()) {
            throw CLI::RequiredError("executable");
        }
        if (patternOption->count() > 0) {
            request.pattern = pattern;
        }
        if (rvaOption->count() > 0) {
            request.signatureAt = rva;
        }
        scan::ProgressDisplay progress(std::cerr, platform::stderrIsConsole());
        request.progress = progress.callback();
        report = scan::run(request);
    } catch (const CLI::ParseError& failure) {
        if (failure.get_exit_code() == 0) {
            return app.exit(failure); // --help, --version
        }
        std::string line = failure.what();
        std::replace(line.begin(), line.end(), '\n', ' ');
        line.erase(line.find_last_not_of(' ') + 1);
        report = scan::ErrorReport{{scan::Error::Kind::badArgument, line}};
        // Known before parsing, so that even a malformed command line gets its answer as JSON.
        asJson = std::any_of(argv + 1, argv + argc,
                             [](const char* each) { return std::string_view(each) == "--json"; });
    }
    if (asJson) {
        scan::printJson(report, std::cout);
    } else {
        // As git does: colour only on a terminal, and never where NO_COLOR asks for none.
        const char* noColour = std::getenv("NO_COLOR");
        textOptions.colour =
            (noColour == nullptr || *noColour == '\0') && platform::stdoutTakesColour();
        scan::printText(report, std::cout, std::cerr, textOptions);
    }
    return scan::exitStatusOf(report);
}
