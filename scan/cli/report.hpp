#pragma once
// What each orvelin-scan command finds, as plain values: one report per command, the error that
// stopped one, and the exit status that follows from it. The renderers (render.hpp) print any
// report as text or as JSON; nothing here knows how.

#include "scan/changes/field_moves.hpp"
#include "scan/changes/function_diff.hpp"
#include "scan/engine/engine_entry.hpp"
#include "scan/engine/engine_findings.hpp"
#include "scan/error.hpp"
#include "scan/match/match.hpp"
#include "scan/routes/routes.hpp"
#include "scan/update/update.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace scan {

// Places where a pattern almost matches, when they were asked for.
struct NearListing {
    struct Place {
        std::uint64_t rva = 0;
        std::vector<std::size_t> differingOffsets;
        std::optional<GlobalPlace> refersTo;
    };
    bool asked = false;
    std::uint64_t total = 0;
    std::vector<Place> listed;
};

// The plug-in's three engine patterns in an executable.
struct EngineCheckReport {
    struct Pattern {
        PatternFinding finding;
        NearListing near;
    };
    std::string executable;
    std::vector<Pattern> patterns;
    bool allFound = false;
};

// A signature of the user's own.
struct PatternReport {
    std::string text; // as given
    Signature signature;
    std::uint64_t matches = 0;
    std::vector<std::uint64_t> matchRvas;             // the lowest, ascending
    std::vector<std::optional<GlobalPlace>> refersTo; // one for each of matchRvas
    NearListing near;
};

// Signatures that lead to an instruction, by every route the policy offers, as the library
// found and checked them.
struct SignatureReport {
    std::size_t marginAsked = 1;
    SignatureRoutes routes;
};

// A pattern table carried from an old build of the game to a new one.
struct UpdateReport {
    std::string older;
    std::string newer;
    std::vector<EntryUpdate> entries;
};

// What a match comes to, counted once for both printers.
struct DiffSummary {
    std::size_t paired = 0;
    std::size_t unchanged = 0; // paired with the same instruction shapes
    std::size_t changed = 0;
    std::size_t removed = 0; // the old build's unpaired
    std::size_t added = 0;   // the new build's
    std::size_t rounds = 0;
    // Of the unpaired, old and new together, by why (Unpaired's order).
    std::size_t why[3] = {0, 0, 0};
};
DiffSummary summaryOf(const BuildMatch& match);

// Every function of two builds paired.
struct DiffReport {
    std::string older;
    std::string newer;
    BuildMatch match;
    DiffSummary summary;
    double seconds = 0; // reading both builds and pairing them
};

// One function of two builds: its pair and both builds' instructions aligned.
struct FunctionDiffReport {
    std::string older;
    std::string newer;
    FunctionDiff diff;
};

// How the displacements of every pair's aligned instructions moved.
struct FieldsReport {
    std::string older;
    std::string newer;
    FieldMoves fields;
};

// A command that could not be carried out, with what it was given where that helps.
struct ErrorReport {
    Error error;
    std::optional<std::string> executable = std::nullopt;
    std::optional<std::uint64_t> rva = std::nullopt;
};

using Report = std::variant<EngineCheckReport, PatternReport, SignatureReport, UpdateReport,
                            DiffReport, FunctionDiffReport, FieldsReport, ErrorReport>;

// 0 found (or made, or every entry carried over, or two builds paired, or the function asked
// paired), 1 not found (or no unique signature, or an entry lost or unusable, or the function
// asked unpaired), 2 the file is no usable PE32+ image, 3 a malformed
// argument.
int exitStatusOf(const Report& report);

} // namespace scan
