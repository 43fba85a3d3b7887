#pragma once
// orvelin-scan's commands as library functions, each returning its report: the engine patterns'
// check, a signature of the user's own, and signatures made for an instruction. run() takes what
// the command line asked for, reads the executable once and carries out the one command.

#include "scan/cli/report.hpp"
#include "scan/image/image.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace scan {

// With near = 0, no near matches are looked for.
EngineCheckReport checkEnginePatterns(const ExecutableImage& image, const std::string& executable,
                                      std::size_t near = 0, std::size_t listed = 5);
PatternReport checkPattern(const ExecutableImage& image, const std::string& text,
                           const Signature& signature, std::size_t near = 0,
                           std::size_t listed = 5);
SignatureReport makeSignatures(const ExecutableImage& image, std::uint64_t rva,
                               bool byReference = false, std::size_t margin = defaultMargin);

// Every function of the older build paired with the newer's, as far as evidence allows.
DiffReport diffBuilds(const ExecutableImage& older, const ExecutableImage& newer,
                      const Progress& progress = {}, const MatchPolicy& policy = matchPolicy);

// The kinds of evidence a comma-separated list of their names asks for ("code,data"); a
// badArgument error naming the first unknown one.
Outcome<EvidenceSet> parseEvidence(const std::string& text);

// An RVA as a user or a script writes it: 0x and hexadecimal digits, or decimal digits as the
// JSON output prints them; a badArgument error naming the option otherwise.
Outcome<std::uint64_t> parseRva(const std::string& text,
                                const std::string& option = "--make-signature");

struct Request {
    std::string executable;
    std::optional<std::string> pattern;     // --pattern
    std::size_t near = 0;                   // --near
    std::size_t listed = 5;                 // --list
    std::optional<std::string> signatureAt; // --make-signature
    bool byReference = false;               // --by-reference
    std::size_t margin = defaultMargin;     // --margin
    // update OLD NEW: executable is OLD.
    struct Update {
        std::string newer;
        std::optional<std::string> table;      // --table; the engine patterns without it
        std::optional<std::string> writeTable; // --write-table: where the carried table goes
    };
    std::optional<Update> update;
    // diff OLD NEW: executable is OLD.
    struct Diff {
        std::string newer;
        std::optional<std::string> evidence;    // --evidence: the kinds to use, all without it
        std::optional<std::string> function;    // --function: an RVA of the old build
        std::optional<std::string> functionNew; // --function-new: one of the new build
        bool fields = false;                    // --fields
    };
    std::optional<Diff> diff;
    Progress progress; // of work that takes long, where it is shown
};

// The arguments are checked before the file is read, so that a malformed one is named first.
Report run(const Request& request);

} // namespace scan
