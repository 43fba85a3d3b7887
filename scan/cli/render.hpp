#pragma once
// The two ways orvelin-scan prints a report: text lines for people, or one JSON document for
// scripts. Each prints every kind of report, errors included.

#include "scan/cli/report.hpp"

#include <ostream>

namespace scan {

// How a person asked the text to be laid out; nothing in it is a finding.
struct TextOptions {
    // What changed in a function's lines is marked by a terminal's colours instead of marks.
    bool colour = false;
    // A diff's pairs listed with their evidence; with its fields, the groups listed (0: 20).
    std::size_t listed = 0;
};

// Findings as lines on out; an error as one line on errors, after the program's name.
void printText(const Report& report, std::ostream& out, std::ostream& errors,
               const TextOptions& options = {});

// One JSON document on out, with the report's exitStatus (and its error, where there is one).
void printJson(const Report& report, std::ostream& out);

} // namespace scan
