#include "scan/cli/commands.hpp"

#include "engine/pattern.hpp"
#include "platform/files.hpp"
#include "scan/hex.hpp"
#include "scan/number.hpp"
#include "scan/signature/near.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>
#include <variant>

namespace scan {

namespace {

NearListing nearListing(const ExecutableImage& image, const BytePattern& pattern, std::size_t near,
                        std::size_t listed) {
    if (near == 0) {
        return {};
    }
    const NearMatches found =
        findNearMatches(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()), pattern,
                        near, listed, &image.weights);
    NearListing listing{true, found.total, {}};
    for (const NearMatch& match : found.listed) {
        listing.listed.push_back(
            {match.offset, match.differingOffsets, engineGlobalAt(image, match.offset)});
    }
    return listing;
}

// A signature can be made only at an RVA in code: refused, with the section it falls in, where not.
Outcome<void> canMakeSignatureAt(const ExecutableImage& image, std::uint64_t rva) {
    auto refused = [&](std::string why) {
        return Error{Error::Kind::badArgument, "--make-signature: RVA " + hex(rva) + why};
    };
    if (rva >= image.bytes.size()) {
        return refused(" lies outside the image (SizeOfImage " + hex(image.bytes.size()) + ")");
    }
    const Section* section = image.sectionOf(rva);
    if (section == nullptr) {
        return refused(" lies in no section (the headers or a gap between sections), not in code");
    }
    if (!section->executable) {
        return refused(" lies in " + section->name +
                       ", which holds no code: give the RVA of an instruction");
    }
    return {};
}

// A file's bytes; an unreadableFile error saying whether it is missing or cannot be read.
Outcome<std::string> readTextFile(const std::string& path) {
    platform::FileContent content = platform::readWholeFile(path);
    switch (content.state) {
    case platform::FileState::read:
        return std::move(content.bytes);
    case platform::FileState::absent:
        return Error{Error::Kind::unreadableFile, "no such file"};
    default:
        return Error{Error::Kind::unreadableFile, "the file cannot be read"};
    }
}

} // namespace

EngineCheckReport checkEnginePatterns(const ExecutableImage& image, const std::string& executable,
                                      std::size_t near, std::size_t listed) {
    EngineCheckReport report{executable, {}, true};
    for (PatternFinding& finding : findEngineGlobals(image)) {
        report.allFound = report.allFound && finding.found;
        const BytePattern& pattern =
            engineBytePatterns[static_cast<std::size_t>(finding.pattern - 1)];
        NearListing nearby = nearListing(image, pattern, near, listed);
        report.patterns.push_back({std::move(finding), std::move(nearby)});
    }
    return report;
}

PatternReport checkPattern(const ExecutableImage& image, const std::string& text,
                           const Signature& signature, std::size_t near, std::size_t listed) {
    const BytePattern pattern = signature.pattern();
    const PatternMatches matches = image.countMatches(std::span(&pattern, 1)).front();
    PatternReport report{text, signature, matches.count, {}, {}, {}};
    for (const unsigned char* match : matches.lowest) {
        report.matchRvas.push_back(image.rvaOf(match));
        report.refersTo.push_back(engineGlobalAt(image, report.matchRvas.back()));
    }
    report.near = nearListing(image, pattern, near, listed);
    return report;
}

SignatureReport makeSignatures(const ExecutableImage& image, std::uint64_t rva, bool byReference,
                               std::size_t margin) {
    return {margin, findSignatureRoutes(image, rva, byReference, margin)};
}

DiffReport diffBuilds(const ExecutableImage& older, const ExecutableImage& newer,
                      const Progress& progress, const MatchPolicy& policy) {
    DiffReport report;
    report.match = matchBuilds(older, newer, progress, policy);
    report.summary = summaryOf(report.match);
    return report;
}

Outcome<EvidenceSet> parseEvidence(const std::string& text) {
    EvidenceSet kinds = 0;
    for (std::size_t at = 0; at <= text.size();) {
        const std::size_t comma = std::min(text.find(',', at), text.size());
        const std::string name = text.substr(at, comma - at);
        const Evidence* kind =
            std::find_if(std::begin(everyEvidence), std::end(everyEvidence),
                         [&](Evidence each) { return evidenceText(each) == name; });
        if (kind == std::end(everyEvidence)) {
            return Error{Error::Kind::badArgument,
                         "--evidence: '" + name + "' is no kind of evidence"};
        }
        kinds |= static_cast<EvidenceSet>(*kind);
        at = comma + 1;
    }
    return kinds;
}

Outcome<std::uint64_t> parseRva(const std::string& text, const std::string& option) {
    if (text.empty()) {
        return Error{Error::Kind::badArgument, option + ": the RVA is empty"};
    }
    return parseUnsigned(text, option + ": '" + text +
                                   "' is not an RVA: write 0x and hexadecimal digits (0x1A2B3C) or "
                                   "decimal digits (1715004)");
}

namespace {

// The old build and the new, laid out; the error of the first that cannot be, naming it.
using Builds = std::pair<ExecutableImage, ExecutableImage>;
std::variant<Builds, ErrorReport> layOutBuilds(const std::string& oldPath,
                                               const std::string& newPath) {
    Outcome<ExecutableImage> older = layOutFile(oldPath);
    if (!older) {
        return ErrorReport{older.error(), oldPath};
    }
    Outcome<ExecutableImage> newer = layOutFile(newPath);
    if (!newer) {
        return ErrorReport{newer.error(), newPath};
    }
    return Builds{std::move(*older), std::move(*newer)};
}

Report runUpdate(const Request& request) {
    std::vector<TableEntry> table = enginePatternTable();
    if (request.update->table) {
        const Outcome<std::string> content = readTextFile(*request.update->table);
        if (!content) {
            return ErrorReport{{content.error().kind, "--table: " + *request.update->table + ": " +
                                                          content.error().detail}};
        }
        Outcome<std::vector<TableEntry>> parsed = parsePatternTable(*content);
        if (!parsed) {
            return ErrorReport{parsed.error()};
        }
        table = std::move(*parsed);
    }
    std::variant<Builds, ErrorReport> builds =
        layOutBuilds(request.executable, request.update->newer);
    if (auto* error = std::get_if<ErrorReport>(&builds)) {
        return std::move(*error);
    }
    const auto& [older, newer] = std::get<Builds>(builds);
    UpdateReport report{request.executable, request.update->newer,
                        updateTable(older, newer, table, request.margin, request.progress)};
    if (const std::optional<std::string>& path = request.update->writeTable; path) {
        // Crash-safe: the file may be the table just read, mended in one step.
        if (!platform::replaceFile(*path,
                                   carriedTable(report.entries, report.older, report.newer))) {
            return ErrorReport{{Error::Kind::unwritableFile, "--write-table: " + *path}};
        }
    }
    return report;
}

Report runDiff(const Request& request) {
    const auto started = std::chrono::steady_clock::now();
    MatchPolicy policy = matchPolicy;
    if (request.diff->evidence) {
        const Outcome<EvidenceSet> kinds = parseEvidence(*request.diff->evidence);
        if (!kinds) {
            return ErrorReport{kinds.error()};
        }
        policy.kinds = *kinds;
    }
    const Request::Diff& asked = *request.diff;
    std::optional<std::uint64_t> function;
    if (asked.function || asked.functionNew) {
        const Outcome<std::uint64_t> rva = asked.function
                                               ? parseRva(*asked.function, "--function")
                                               : parseRva(*asked.functionNew, "--function-new");
        if (!rva) {
            return ErrorReport{rva.error()};
        }
        function = *rva;
    }
    std::variant<Builds, ErrorReport> builds =
        layOutBuilds(request.executable, request.diff->newer);
    if (auto* error = std::get_if<ErrorReport>(&builds)) {
        return std::move(*error);
    }
    auto& [older, newer] = std::get<Builds>(builds);
    if (!function && !asked.fields) {
        // Pairing needs only the functions read, and the printers only the pairs: each build's
        // bytes go once its functions are read, the functions before the report is written out
        // (together the most memory the diff holds).
        DiffReport report;
        BothRead read = readBoth(older, newer, request.progress, policy.reading);
        for (ExecutableImage* image : {&older, &newer}) {
            const ExecutableImage gone = std::move(*image);
        }
        report.match = matchRead(std::move(read), request.progress, policy);
        report.summary = summaryOf(report.match);
        report.match.olderRead.reset();
        report.match.newerRead.reset();
        report.older = request.executable;
        report.newer = request.diff->newer;
        report.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        return report;
    }
    DiffReport report = diffBuilds(older, newer, request.progress, policy);
    if (function) {
        Counterparts counterparts(older, newer, report.match);
        Outcome<FunctionDiff> diff = diffFunction(counterparts, *function, !asked.function);
        if (!diff) {
            return ErrorReport{diff.error()};
        }
        return FunctionDiffReport{request.executable, asked.newer, std::move(*diff)};
    }
    return FieldsReport{request.executable, asked.newer,
                        fieldMoves(older, newer, report.match, request.progress)};
}

Report runCommand(const Request& request) {
    if (request.update) {
        return runUpdate(request);
    }
    if (request.diff) {
        return runDiff(request);
    }
    std::optional<Signature> signature;
    if (request.pattern) {
        Outcome<Signature> parsed = parseSignature(*request.pattern);
        if (!parsed) {
            return ErrorReport{{parsed.error().kind, "--pattern: " + parsed.error().detail}};
        }
        signature = std::move(*parsed);
    }
    std::optional<std::uint64_t> rva;
    if (request.signatureAt) {
        const Outcome<std::uint64_t> parsed = parseRva(*request.signatureAt);
        if (!parsed) {
            return ErrorReport{parsed.error()};
        }
        rva = *parsed;
    }
    const Outcome<ExecutableImage> image = layOutFile(request.executable);
    if (!image) {
        return ErrorReport{image.error(), request.executable};
    }
    if (rva) {
        if (const Outcome<void> allowed = canMakeSignatureAt(*image, *rva); !allowed) {
            return ErrorReport{allowed.error(), std::nullopt, rva};
        }
        return makeSignatures(*image, *rva, request.byReference, request.margin);
    }
    if (signature) {
        return checkPattern(*image, *request.pattern, *signature, request.near, request.listed);
    }
    return checkEnginePatterns(*image, request.executable, request.near, request.listed);
}

} // namespace

Report run(const Request& request) {
    try {
        return runCommand(request);
    } catch (const std::bad_alloc&) {
        // Two large builds' functions and their pairs take the most.
        return ErrorReport{
            {Error::Kind::outOfMemory, "not enough memory to carry out the command"}};
    }
}

DiffSummary summaryOf(const BuildMatch& match) {
    DiffSummary summary;
    summary.paired = match.pairs.size();
    summary.unchanged =
        static_cast<std::size_t>(std::count_if(match.pairs.begin(), match.pairs.end(),
                                               [](const FunctionPair& pair) { return pair.same; }));
    summary.changed = summary.paired - summary.unchanged;
    summary.removed = match.removed.size();
    summary.added = match.added.size();
    summary.rounds = match.rounds;
    for (const std::vector<Unpaired>* whys : {&match.removedWhy, &match.addedWhy}) {
        for (const Unpaired why : *whys) {
            ++summary.why[static_cast<std::size_t>(why)];
        }
    }
    return summary;
}

int exitStatusOf(const Report& report) {
    struct Status {
        int operator()(const EngineCheckReport& each) const { return each.allFound ? 0 : 1; }
        int operator()(const PatternReport& each) const { return each.matches > 0 ? 0 : 1; }
        int operator()(const SignatureReport& each) const { return each.routes.any() ? 0 : 1; }
        int operator()(const UpdateReport& each) const {
            return std::all_of(each.entries.begin(), each.entries.end(),
                               [](const EntryUpdate& entry) {
                                   return entry.status == EntryUpdate::Status::unchanged ||
                                          entry.status == EntryUpdate::Status::moved;
                               })
                       ? 0
                       : 1;
        }
        int operator()(const DiffReport&) const { return 0; }
        int operator()(const FunctionDiffReport& each) const { return each.diff.pair ? 0 : 1; }
        int operator()(const FieldsReport&) const { return 0; }
        int operator()(const ErrorReport& each) const { return exitStatusOf(each.error.kind); }
    };
    return std::visit(Status{}, report);
}

} // namespace scan
