// Reports as lines a person reads.

#include "scan/cli/render.hpp"
#include "scan/hex.hpp"
#include "scan/signature/near.hpp"

#include <algorithm>
#include <iomanip>
#include <sstream>

namespace scan {

namespace {

std::string rvaList(const std::vector<std::uint64_t>& rvas) {
    std::string text;
    for (const std::uint64_t rva : rvas) {
        text += (text.empty() ? "" : ", ") + hex(rva);
    }
    return text;
}

// " in .data", " in no section" or " outside the image".
std::string placeText(const std::string& section, bool insideImage) {
    return !insideImage      ? " outside the image"
           : section.empty() ? " in no section"
                             : " in " + section;
}

// " (refers to RVA X in S)" for a match whose instruction has the engine patterns' shape.
std::string refersText(const std::optional<GlobalPlace>& referent) {
    if (!referent) {
        return "";
    }
    return " (refers to RVA " + hex(referent->rva) +
           placeText(referent->section, referent->insideImage) + ")";
}

void printNear(const NearListing& near, std::ostream& out) {
    for (const NearListing::Place& place : near.listed) {
        std::string offsets;
        for (const std::size_t offset : place.differingOffsets) {
            offsets += (offsets.empty() ? "" : ", ") + std::to_string(offset);
        }
        const bool one = place.differingOffsets.size() == 1;
        out << "  near match at RVA " << hex(place.rva) << ": offset" << (one ? " " : "s ")
            << offsets << (one ? " differs" : " differ") << refersText(place.refersTo) << '\n';
    }
    if (near.total > near.listed.size()) {
        out << "  (" << near.total << " near places in all; --list N shows more)\n";
    }
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

void print(const EngineCheckReport& report, std::ostream& out) {
    for (const EngineCheckReport::Pattern& pattern : report.patterns) {
        const PatternFinding& finding = pattern.finding;
        out << "Pattern " << finding.pattern << ": ";
        if (!finding.matched) {
            out << "not found\n";
        } else {
            out << (finding.found ? "found at RVA " : "not found: the match at RVA ")
                << hex(finding.matchRva) << (finding.found ? ", global at RVA " : " refers to RVA ")
                << hex(finding.global.rva)
                << placeText(finding.global.section, finding.global.insideImage)
                << countText(finding.matches, finding.matchRvas) << '\n';
        }
        printNear(pattern.near, out);
    }
}

void print(const PatternReport& report, std::ostream& out) {
    out << "Pattern " << notation(report.signature) << ": ";
    if (report.matches == 0) {
        out << "not found\n";
    } else {
        out << (report.matches == 1 ? "matches once" : std::to_string(report.matches) + " matches")
            << ", at RVA ";
        for (std::size_t n = 0; n < report.matchRvas.size(); ++n) {
            out << (n == 0 ? "" : ", ") << hex(report.matchRvas[n])
                << refersText(report.refersTo[n]);
        }
        out << (report.matches > report.matchRvas.size() ? ", ..." : "") << '\n';
    }
    printNear(report.near, out);
}

// How far the signature is from matching elsewhere, and whether that is as far as was asked.
std::string marginText(std::size_t margin, std::size_t asked) {
    std::string text = margin > widestMargin
                           ? "margin more than " + std::to_string(widestMargin) +
                                 ": every other place differs in more of its fixed bytes"
                           : "margin " + std::to_string(margin) +
                                 ": every other place differs in at least " +
                                 std::to_string(margin) + " of its fixed bytes";
    if (margin < asked) {
        text += " (" + std::to_string(asked) +
                " asked for: no longer signature within its function and " +
                std::to_string(longestSignature) + " bytes reaches it)";
    }
    return text;
}

void print(const MadeSignature& made, const Outcome<EngineEntry>& enginePattern,
           std::size_t marginAsked, std::ostream& out) {
    const Signature& signature = made.signature;
    out << "  " << notation(signature) << "\n  bytes \"" << escapedBytes(signature)
        << "\"\n  mask  \"" << signature.mask << "\"\n  " << marginText(made.margin, marginAsked)
        << "\nIt covers:\n";
    for (const std::string& instruction : made.instructions) {
        out << "  " << instruction << '\n';
    }
    if (!enginePattern) {
        out << "As an engine pattern of the plug-in: no, " << enginePattern.error().detail << ".\n";
        return;
    }
    const EngineEntry& entry = *enginePattern;
    out << "As an engine pattern of the plug-in: yes, its global lies at RVA "
        << hex(entry.global.rva)
        << (entry.global.section.empty() ? "" : " in " + entry.global.section)
        << ". The table's entry (true where the slot keeps the global's value):\n  "
        << tableEntry(entry.entry) << '\n';
}

// "N bytes, matches once".
std::string sizeText(const MadeSignature& made) {
    return std::to_string(made.signature.length()) + " bytes, matches once";
}

// "+ 5", "- 12".
std::string signedText(std::int64_t value) {
    return (value < 0 ? "- " : "+ ") + std::to_string(value < 0 ? -value : value);
}

// How the referring instruction's field is followed from the signature's match.
std::string fieldText(const ReferenceSignature& route) {
    return "match " + signedText(route.instructionOffset) + " + " +
           std::to_string(route.reference.length) + " + the signed 32-bit value at match " +
           signedText(route.fieldOffset);
}

void print(const SignatureReport& report, std::ostream& out) {
    const SignatureRoutes& routes = report.routes;
    const std::string place = hex(routes.place);
    if (routes.own) {
        out << "Signature at RVA " << place << " (" << sizeText(routes.own->route) << "):\n";
        print(routes.own->route, routes.own->enginePattern, report.marginAsked, out);
    } else if (!routes.any()) {
        out << "No signature: " << routes.own.error().detail
            << "; nor has any later instruction of its function or any instruction that refers to "
               "it\n";
        if (routes.funcletParent) {
            out << "RVA " << place << " is an exception funclet of the function at RVA "
                << hex(*routes.funcletParent)
                << ": only that function's exception data names it, and the runtime calls it "
                   "while handling an exception, so no code refers to it; hook the function at RVA "
                << hex(*routes.funcletParent) << " instead\n";
        }
        return;
    } else {
        out << "No signature of its own: " << routes.own.error().detail << ".\n";
    }
    for (const std::string& name : routes.exports) {
        out << "Exported as " << name << ": GetProcAddress finds it by name\n";
    }
    if (routes.interior) {
        const InteriorSignature& interior = routes.interior->route;
        out << "Signature inside its function at RVA " << hex(interior.made.rva) << " ("
            << sizeText(interior.made) << "):\n";
        print(interior.made, routes.interior->enginePattern, report.marginAsked, out);
        out << "From its match: RVA " << place << " = match " << signedText(interior.placeOffset)
            << " (the plug-in's findPattern offset " << interior.placeOffset << ")\n";
    }
    for (std::size_t n = 0; n < routes.references.size(); ++n) {
        const ReferenceSignature& route = routes.references[n].route;
        out << "Reference signature " << n + 1 << ": " << route.reference.text << " at RVA "
            << hex(route.reference.rva) << " refers to RVA " << place
            << "; the signature starts at RVA " << hex(route.made.rva) << " ("
            << sizeText(route.made) << "):\n";
        print(route.made, routes.references[n].enginePattern, report.marginAsked, out);
        out << "From its match: RVA " << place << " = " << fieldText(route) << '\n';
    }
    for (std::size_t n = 0; n < routes.thunks.size(); ++n) {
        const ThunkSignature& thunk = routes.thunks[n].route;
        const ReferenceSignature& route = thunk.route;
        out << "Thunk signature " << n + 1 << ": " << route.reference.text << " at RVA "
            << hex(route.reference.rva) << " refers to the jump at RVA " << hex(thunk.thunkRva)
            << ", which jumps to RVA " << place << "; the signature starts at RVA "
            << hex(route.made.rva) << " (" << sizeText(route.made) << "):\n";
        print(route.made, routes.thunks[n].enginePattern, report.marginAsked, out);
        out << "From its match: the jump is at " << fieldText(route) << ", and RVA " << place
            << " = the jump + 5 + the signed 32-bit value at the jump + 1\n";
    }
    for (std::size_t n = 0; n < routes.tables.size(); ++n) {
        const TableSignature& table = routes.tables[n].route;
        const ReferenceSignature& route = table.route;
        out << "Table signature " << n + 1 << ": " << route.reference.text << " at RVA "
            << hex(route.reference.rva) << " addresses the table at RVA " << hex(table.tableRva)
            << ", whose slot at +" << hex(table.slotOffset) << " holds the address of RVA " << place
            << "; the signature starts at RVA " << hex(route.made.rva) << " ("
            << sizeText(route.made) << "):\n";
        print(route.made, routes.tables[n].enginePattern, report.marginAsked, out);
        out << "From its match: the table is at " << fieldText(route) << ", and RVA " << place
            << " = the 8-byte value at the table + " << hex(table.slotOffset)
            << ", minus the image base\n";
    }
}

std::string offsetText(std::int64_t offset) {
    return offset == 0 ? "" : " @" + std::to_string(offset);
}

void print(const UpdateReport& report, std::ostream& out) {
    for (const EntryUpdate& update : report.entries) {
        const BundleReading& reading = update.reading;
        const std::string anchors =
            std::to_string(reading.found) + " of " + std::to_string(update.bundle.anchors.size()) +
            " anchors found once, " + std::to_string(reading.agreeing) + " agree";
        out << update.entry.name << ": " << statusText(update.status);
        switch (update.status) {
        case EntryUpdate::Status::unusable:
            out << ": " << whyText(update.reason) << '\n';
            continue;
        case EntryUpdate::Status::lost:
            out << " (RVA " << hex(*update.oldRva)
                << " in the old build): " << whyText(update.reason) << "; " << anchors << '\n';
            for (const BundleReading::Found& found : reading.anchors) {
                out << "  " << kindText(found.anchor.kind) << " "
                    << notation(found.anchor.made.signature) << ": ";
                if (!found.match) {
                    out << (found.matches == 0 ? "not found" : "matches more than once") << '\n';
                } else if (!found.function) {
                    out << "matches once at RVA " << hex(*found.match)
                        << ", leads outside the image\n";
                } else {
                    out << "matches once at RVA " << hex(*found.match)
                        << ", leads to the function at RVA " << hex(*found.function) << '\n';
                }
            }
            continue;
        case EntryUpdate::Status::unchanged:
            out << " at RVA " << hex(*update.newRva) << " (RVA " << hex(*update.oldRva)
                << " in the old build); " << anchors << '\n';
            break;
        case EntryUpdate::Status::moved:
            out << " from RVA " << hex(*update.oldRva) << " to RVA " << hex(*update.newRva) << "; "
                << anchors << '\n';
            break;
        }
        out << "  " << notation(*update.signature) << offsetText(update.offset) << '\n'
            << "  " << marginText(update.margin, 1) << '\n';
        if (update.placedBy != EntryUpdate::PlacedBy::nothing) {
            std::string evidence;
            for (const std::string& kind : evidenceTexts(update.matchEvidence)) {
                evidence += (evidence.empty() ? "" : ", ") + kind;
            }
            out << "  its function found by " << placedByText(update.placedBy)
                << (evidence.empty() ? "" : " (evidence: " + evidence + ")") << '\n';
        }
        for (const FieldValue& field : update.fields) {
            out << "  " << fieldText(field) << '\n';
        }
        if (update.enginePattern) {
            const Outcome<EngineEntry>& fit = *update.enginePattern;
            if (fit) {
                out << "  table entry " << tableEntry(fit->entry, update.entry.readsValue)
                    << "; its global lies at RVA " << hex(fit->global.rva)
                    << (fit->global.section.empty() ? "" : " in " + fit->global.section) << '\n';
            } else {
                out << "  as an engine pattern of the plug-in: no, " << fit.error().detail << '\n';
            }
        }
    }
}

void print(const DiffReport& report, std::ostream& out, std::size_t listing) {
    const BuildMatch& match = report.match;
    const DiffSummary& summary = report.summary;
    out << "Functions: " << match.oldFunctions << " in " << report.older << ", "
        << match.newFunctions << " in " << report.newer << '\n'
        << "Paired: " << summary.paired << " (" << summary.unchanged << " unchanged, "
        << summary.changed << " changed)\n"
        << "Unpaired: " << summary.removed << " of the old build (removed, or compiled "
        << "past recognition), " << summary.added << " of the new build\n";
    if (summary.removed + summary.added > 0) {
        out << "Why unpaired: " << summary.why[0] << " with no evidence, " << summary.why[1]
            << " with one kind only, " << summary.why[2] << " with conflicting votes\n";
    }
    const std::size_t listed = std::min(listing, match.pairs.size());
    for (std::size_t n = 0; n < listed; ++n) {
        const FunctionPair& pair = match.pairs[n];
        std::string evidence;
        for (const std::string& kind : evidenceTexts(pair.evidence)) {
            evidence += (evidence.empty() ? "" : ", ") + kind;
        }
        out << "  RVA " << hex(pair.oldRva) << " -> RVA " << hex(pair.newRva) << ", "
            << (pair.same ? "unchanged" : "changed") << "; evidence: " << evidence << '\n';
    }
    std::ostringstream seconds;
    seconds << std::fixed << std::setprecision(1) << report.seconds;
    out << "Took " << seconds.str() << " s (" << summary.rounds << " rounds of pairing)\n";
}

// How a line of a function's diff marks what changed: in colour on a terminal, as git diff does;
// with word-diff marks otherwise.
struct Marks {
    bool colour = false;
    std::string removed(const std::string& text) const {
        return colour ? "\x1b[31m" + text + "\x1b[0m" : "[-" + text + "-]";
    }
    std::string added(const std::string& text) const {
        return colour ? "\x1b[32m" + text + "\x1b[0m" : "{+" + text + "+}";
    }
    std::string line(char sign, const std::string& text) const {
        if (!colour || sign == ' ' || sign == '~') {
            return text;
        }
        return (sign == '-' ? "\x1b[31m" : "\x1b[32m") + text + "\x1b[0m";
    }
};

// The first place of part in text, wrapped by mark; text unchanged where part is not in it.
template <typename Mark>
std::string markedIn(std::string text, const std::string& part, Mark mark) {
    const std::size_t at = part.empty() ? std::string::npos : text.find(part);
    return at == std::string::npos
               ? text
               : text.substr(0, at) + mark(part) + text.substr(at + part.size());
}

std::string rvaColumn(const std::optional<InstructionText>& shown) {
    std::string text = shown ? hex(shown->rva) : "";
    text.resize(std::max<std::size_t>(text.size() + 1, 11), ' ');
    return text;
}

// " (paired with 0x5000)" for each code target whose counterpart is known.
std::string pairedText(const DiffLine& line) {
    std::string text;
    for (const TargetValue& target : line.targets) {
        if (target.code && target.pairedWith) {
            text += " (paired with " + hex(*target.pairedWith) + ")";
        }
    }
    return text;
}

void print(const FunctionDiffReport& report, std::ostream& out, const Marks& marks) {
    const FunctionDiff& diff = report.diff;
    const auto at = [](const std::optional<std::uint64_t>& rva) {
        return rva ? "RVA " + hex(*rva) : std::string("no function");
    };
    out << "Function: " << at(diff.oldRva) << " in " << report.older << ", " << at(diff.newRva)
        << " in " << report.newer;
    if (!diff.pair) {
        out << "; unpaired" << (diff.why ? ": " + unpairedText(*diff.why) : std::string()) << '\n';
        return;
    }
    std::string evidence;
    for (const std::string& kind : evidenceTexts(diff.pair->evidence)) {
        evidence += (evidence.empty() ? "" : ", ") + kind;
    }
    out << "; " << (diff.pair->same ? "unchanged" : "changed") << "; evidence: " << evidence << '\n'
        << "Lines: " << diff.counts[0] << " same, " << diff.counts[1] << " with fields changed, "
        << diff.counts[2] << " added, " << diff.counts[3] << " removed\n";
    for (const DiffLine& line : diff.lines) {
        const char sign = line.change == DiffLine::Change::same     ? ' '
                          : line.change == DiffLine::Change::fields ? '~'
                          : line.change == DiffLine::Change::added  ? '+'
                                                                    : '-';
        std::string text =
            std::string(1, sign) + " " + rvaColumn(line.older) + rvaColumn(line.newer);
        if (line.change != DiffLine::Change::fields) {
            text += (line.older ? line.older->text : line.newer->text) + pairedText(line);
            out << marks.line(sign, text) << '\n';
            continue;
        }
        std::string older = line.older->text;
        std::string newer = line.newer->text;
        const auto removed = [&](const std::string& part) { return marks.removed(part); };
        const auto added = [&](const std::string& part) { return marks.added(part); };
        for (const FieldValue& field : line.fields) {
            older = markedIn(older, field.oldOperand, removed);
            newer = markedIn(newer, field.newOperand, added);
        }
        for (const TargetValue& target : line.targets) {
            if (target.leadsElsewhere()) {
                older = markedIn(older, hex(target.oldTarget), removed);
                newer = markedIn(newer, hex(target.newTarget), added);
            }
        }
        out << text << older << pairedText(line) << "  =>  " << newer << '\n';
    }
}

// A displacement as a structure's offset reads: 0x49A0, -0x10.
std::string offsetValue(std::int64_t value) {
    return value < 0 ? "-" + hex(static_cast<std::uint64_t>(-(value + 1)) + 1)
                     : hex(static_cast<std::uint64_t>(value));
}

void print(const FieldsReport& report, std::ostream& out, std::size_t listing) {
    const FieldMoves& fields = report.fields;
    out << "Aligned instructions: " << fields.instructions << " in " << fields.pairsAligned
        << " pairs; " << fields.displacements << " address a field off a register (rsp left out), "
        << fields.moved << " changed only that displacement\n"
        << "Displacements moved: " << fields.moves.size() << " (old -> new), most common first\n";
    constexpr std::size_t listedUnasked = 20;
    const std::size_t listed = std::min(listing > 0 ? listing : listedUnasked, fields.moves.size());
    for (std::size_t n = 0; n < listed; ++n) {
        const FieldMove& move = fields.moves[n];
        out << "  " << offsetValue(move.oldValue) << " -> " << offsetValue(move.newValue) << ": "
            << move.instructions << " instructions in " << move.functions << " functions; "
            << move.disagreeing << " with " << offsetValue(move.oldValue) << " disagree ("
            << move.kept << " kept it)\n";
    }
    if (listed < fields.moves.size()) {
        out << "  and " << fields.moves.size() - listed
            << " more: --list N lists N, --json lists all\n";
    }
}

void print(const ErrorReport& report, std::ostream& errors) {
    errors << "orvelin-scan: " << (report.executable ? *report.executable + ": " : "")
           << message(report.error) << '\n';
}

} // namespace

void printText(const Report& report, std::ostream& out, std::ostream& errors,
               const TextOptions& options) {
    if (const auto* error = std::get_if<ErrorReport>(&report)) {
        print(*error, errors);
        return;
    }
    std::visit(
        [&](const auto& each) {
            using Each = std::decay_t<decltype(each)>;
            if constexpr (std::is_same_v<Each, FunctionDiffReport>) {
                print(each, out, Marks{options.colour});
            } else if constexpr (std::is_same_v<Each, DiffReport> ||
                                 std::is_same_v<Each, FieldsReport>) {
                print(each, out, options.listed);
            } else if constexpr (!std::is_same_v<Each, ErrorReport>) {
                print(each, out);
            }
        },
        report);
}

} // namespace scan
