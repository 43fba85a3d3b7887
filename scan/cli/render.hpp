#pragma once
// The two ways orvelin-scan prints a report: text lines for people, or one JSON document for
// scripts. Each prints every kind of report, errors included.

#include "scan/cli/report.hpp"

#include <ostream>

namespace scan {

// Findings as lines on out; an error as one line on errors, after the program's name. With colour,
// what changed in a function's lines is marked by a terminal's colours instead of marks.
void printText(const Report& report, std::ostream& out, std::ostream& errors, bool colour = false);

// One JSON document on out, with the report's exitStatus (and its error, where there is one).
void printJson(const Report& report, std::ostream& out);

} // namespace scan
