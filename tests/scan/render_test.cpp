// The two printers on reports built by hand: every kind of report, its text lines and its JSON
// document with the fields the README documents, so that a printer that drops, renames or
// recomputes a field fails here rather than in a modder's script.

#include "scan/cli/progress.hpp"
#include "scan/cli/render.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <set>
#include <sstream>

namespace {

using nlohmann::json;

struct Printed {
    std::string text;
    std::string errors;
    json document;
};

Printed printed(const scan::Report& report, const scan::TextOptions& options = {}) {
    std::ostringstream text;
    std::ostringstream errors;
    std::ostringstream document;
    scan::printText(report, text, errors, options);
    scan::printJson(report, document);
    return {text.str(), errors.str(), json::parse(document.str())};
}

std::set<std::string> keys(const json& object) {
    std::set<std::string> names;
    for (const auto& [name, value] : object.items()) {
        names.insert(name);
    }
    return names;
}

scan::MadeSignature made(std::uint64_t rva, const std::string& bytes, const std::string& mask) {
    return {{bytes, mask}, rva, {"mov rax, qword ptr [rip + 0x10]"}, 2};
}

const scan::Error notAnEnginePattern{scan::Error::Kind::notFound, "its first instruction differs"};

TEST(Render, PrintsEveryKindOfReportWithItsDocumentedFields) {
    scan::PatternFinding finding{
        1, true, true, 2, {0x1100, 0x1200}, 0x1100, {0x3400100, ".bss", true}};
    scan::EngineCheckReport check{"Game.exe", {{finding, {true, 7, {{0x1300, {10}, {}}}}}}, false};
    const Printed checked = printed(check);
    EXPECT_NE(checked.text.find("Pattern 1: found at RVA 0x1100, global at RVA 0x3400100 in .bss; "
                                "matches 2 places (ambiguous"),
              std::string::npos)
        << checked.text;
    EXPECT_NE(checked.text.find("near match at RVA 0x1300: offset 10 differs"), std::string::npos);
    EXPECT_EQ(keys(checked.document),
              (std::set<std::string>{"executable", "patterns", "allFound", "exitStatus"}));
    EXPECT_EQ(keys(checked.document["patterns"][0]),
              (std::set<std::string>{"pattern", "found", "matches", "matchRvas", "matchRva",
                                     "globalRva", "insideImage", "section", "near", "nearTotal"}));
    EXPECT_EQ(checked.document["exitStatus"], 1);

    scan::PatternReport pattern{"48 8B", {"\x48\x8B", "xx"}, 1, {0x1000}, {{}}, {}};
    const Printed patterned = printed(pattern);
    EXPECT_EQ(patterned.text, "Pattern 48 8B: matches once, at RVA 0x1000\n");
    EXPECT_EQ(keys(patterned.document),
              (std::set<std::string>{"pattern", "matches", "matchRvas", "refersTo", "exitStatus"}));

    // Every route at once, each with its offsets as the library gave them.
    scan::SignatureRoutes routes{0x1040, scan::Error{scan::Error::Kind::notFound, "not unique"},
                                 std::nullopt, scan::FunctionExtent{0x1040, 0x1080}};
    routes.interior = {{made(0x1048, "\x8B\x41", "xx"), -8}, notAnEnginePattern};
    routes.exports = {"GetThing"};
    const scan::Reference call{0x1210, 5, 1, true, "call 0x141040", 0x1040};
    routes.referencesLooked = routes.thunksLooked = routes.tablesLooked = true;
    routes.references = {{{made(0x1200, "\xE8", "x"), call, 16, 17}, notAnEnginePattern}};
    routes.thunks = {{{{made(0x1300, "\xE8", "x"), call, 0, 1}, 0x1000}, notAnEnginePattern}};
    routes.tables = {{{{made(0x1400, "\x48", "x"), call, -4, -1}, 0x2008, 8}, notAnEnginePattern}};
    const Printed signed_ = printed(scan::SignatureReport{2, routes});
    for (const char* line :
         {"No signature of its own: not unique.", "Exported as GetThing: GetProcAddress finds it",
          "From its match: RVA 0x1040 = match - 8 (the plug-in's findPattern offset -8)",
          "From its match: RVA 0x1040 = match + 16 + 5 + the signed 32-bit value at match + 17",
          "the table is at match - 4 + 5 + the signed 32-bit value at match - 1, and RVA 0x1040 = "
          "the 8-byte value at the table + 0x8"}) {
        EXPECT_NE(signed_.text.find(line), std::string::npos) << line << "\n" << signed_.text;
    }
    const json& document = signed_.document;
    EXPECT_EQ(keys(document),
              (std::set<std::string>{"rva", "error", "interior", "function", "exports", "funclet",
                                     "references", "thunks", "tables", "exitStatus"}));
    EXPECT_EQ(document["interior"]["placeOffset"], -8);
    EXPECT_EQ(document["references"][0]["fieldOffset"], 17);
    EXPECT_EQ(document["tables"][0]["instructionOffset"], -4);
    EXPECT_EQ(document["tables"][0]["slotOffset"], 8);
    EXPECT_EQ(document["thunks"][0]["thunkRva"], 0x1000);
    EXPECT_EQ(document["exports"], json::array({"GetThing"}));
    EXPECT_TRUE(document["funclet"].is_null());
    EXPECT_EQ(document["exitStatus"], 0);
    // A funclet, which nothing reaches: named with its parent, exit status 1.
    scan::SignatureRoutes funclet{0x1040, scan::Error{scan::Error::Kind::notFound, "not unique"},
                                  std::nullopt, std::nullopt};
    funclet.funcletParent = 0x1000;
    const Printed named = printed(scan::SignatureReport{2, funclet});
    EXPECT_NE(named.text.find("RVA 0x1040 is an exception funclet of the function at RVA 0x1000"),
              std::string::npos);
    EXPECT_EQ(named.document["funclet"]["parentRva"], 0x1000);
    EXPECT_EQ(named.document["exitStatus"], 1);

    scan::EntryUpdate moved;
    moved.entry.name = "entry1";
    moved.status = scan::EntryUpdate::Status::moved;
    moved.oldRva = 0x1000;
    moved.newRva = 0x1100;
    moved.signature = scan::Signature{"\x48\x8B", "xx"};
    moved.offset = -7;
    moved.margin = 2;
    moved.placedBy = scan::EntryUpdate::PlacedBy::match;
    moved.matchEvidence = static_cast<scan::EvidenceSet>(scan::Evidence::code) |
                          static_cast<scan::EvidenceSet>(scan::Evidence::neighbours);
    scan::EntryUpdate lost;
    lost.entry.name = "entry2";
    lost.oldRva = 0x2000;
    lost.reason = {scan::EntryUpdate::Reason::Kind::anchorsDisagree, {0x2100, 0x2200}};
    lost.reading.anchors = {
        {{scan::Anchor::Kind::own, made(0x2000, "\x31", "x")}, 1, 0x2100, 0x2100}};
    const Printed updated = printed(scan::UpdateReport{"Old.exe", "New.exe", {moved, lost}});
    EXPECT_NE(updated.text.find("entry1: moved from RVA 0x1000 to RVA 0x1100"), std::string::npos);
    EXPECT_NE(updated.text.find("  48 8B @-7\n"), std::string::npos) << updated.text;
    EXPECT_NE(updated.text.find("  its function found by the two builds' match (evidence: code, "
                                "neighbours)\n"),
              std::string::npos)
        << updated.text;
    EXPECT_NE(updated.text.find("entry2: lost (RVA 0x2000 in the old build): its anchors found "
                                "once lead to different functions (RVA 0x2100, 0x2200) or "
                                "outside the image"),
              std::string::npos)
        << updated.text;
    EXPECT_NE(updated.text.find("  own signature 31: matches once at RVA 0x2100, leads to the "
                                "function at RVA 0x2100"),
              std::string::npos);
    EXPECT_EQ(keys(updated.document),
              (std::set<std::string>{"older", "newer", "entries", "exitStatus"}));
    EXPECT_EQ(keys(updated.document["entries"][1]),
              (std::set<std::string>{"name", "status", "oldRva", "newRva", "signature", "offset",
                                     "margin", "anchorsFound", "anchorsAgreeing", "candidates",
                                     "anchors", "enginePattern", "why", "reason", "placedBy",
                                     "matchEvidence", "fields"}));
    // The reason as data: its kind and the RVAs it names, beside its words.
    EXPECT_EQ(updated.document["entries"][1]["reason"],
              json({{"kind", "anchorsDisagree"}, {"rvas", {0x2100, 0x2200}}}));
    EXPECT_FALSE(updated.document["entries"][0].contains("reason"));
    EXPECT_EQ(updated.document["entries"][0]["placedBy"], "the two builds' match");
    EXPECT_EQ(updated.document["entries"][0]["matchEvidence"], json::array({"code", "neighbours"}));
    EXPECT_TRUE(updated.document["entries"][1]["placedBy"].is_null());
    EXPECT_EQ(updated.document["entries"][0]["offset"], -7);
    EXPECT_EQ(updated.document["entries"][1]["anchors"][0]["leadsTo"], 0x2100);
    EXPECT_EQ(updated.document["exitStatus"], 1);

    // A diff: the counts both printers print come from the summary, each unpaired function says
    // why, and a pair's evidence is every kind in order.
    scan::DiffReport diffed{"Old.exe", "New.exe", {}, {}};
    diffed.match.oldFunctions = 4;
    diffed.match.newFunctions = 3;
    diffed.match.rounds = 4;
    diffed.match.pairs = {{0x1000, 0x1100, true,
                           static_cast<scan::EvidenceSet>(scan::Evidence::code) |
                               static_cast<scan::EvidenceSet>(scan::Evidence::imports)},
                          {0x1040, 0x1140, false,
                           static_cast<scan::EvidenceSet>(scan::Evidence::callSets) |
                               static_cast<scan::EvidenceSet>(scan::Evidence::similar)},
                          {0x10C0, 0x1180, false,
                           static_cast<scan::EvidenceSet>(scan::Evidence::order) |
                               static_cast<scan::EvidenceSet>(scan::Evidence::constants)}};
    diffed.match.removed = {0x1080};
    diffed.match.removedWhy = {scan::Unpaired::conflicting};
    diffed.summary = scan::summaryOf(diffed.match);
    const Printed diff = printed(diffed, {false, 2}); // two pairs of three
    EXPECT_EQ(diff.text.substr(0, diff.text.find("Took")),
              "Functions: 4 in Old.exe, 3 in New.exe\n"
              "Paired: 3 (1 unchanged, 2 changed)\n"
              "Unpaired: 1 of the old build (removed, or compiled past recognition), 0 of the new "
              "build\n"
              "Why unpaired: 0 with no evidence, 0 with one kind only, 1 with conflicting votes\n"
              "  RVA 0x1000 -> RVA 0x1100, unchanged; evidence: code, imports\n"
              "  RVA 0x1040 -> RVA 0x1140, changed; evidence: similar, callees\n");
    EXPECT_NE(diff.text.find("(4 rounds of pairing)"), std::string::npos);
    EXPECT_EQ(keys(diff.document),
              (std::set<std::string>{"older", "newer", "functions", "removed", "added",
                                     "removedWhy", "addedWhy", "summary", "exitStatus"}));
    EXPECT_EQ(diff.document["functions"][1]["evidence"], json::array({"similar", "callees"}));
    EXPECT_EQ(diff.document["removedWhy"], json::array({"conflicting votes"}));
    EXPECT_EQ(diff.document["summary"]["unpaired"]["conflicting"], 1);
    EXPECT_EQ(diff.document["summary"]["unchanged"], 1);
    EXPECT_EQ(diff.document["summary"]["rounds"], 4);

    const Printed failed = printed(scan::ErrorReport{
        {scan::Error::Kind::outOfMemory, "not enough memory to lay out the image"}, "Game.exe"});
    EXPECT_EQ(failed.errors, "orvelin-scan: Game.exe: not enough memory to lay out the image\n");
    EXPECT_EQ(keys(failed.document), (std::set<std::string>{"error", "executable", "exitStatus"}));
    EXPECT_EQ(failed.document["exitStatus"], 2);
}

TEST(Progress, AfterAQuietSecondABarOnATerminalElseALineEachStage) {
    using namespace std::chrono_literals;
    const auto shown = [](bool terminal, std::chrono::milliseconds quiet) {
        std::ostringstream out;
        {
            scan::ProgressDisplay display(out, terminal, quiet);
            const scan::Progress progress = display.callback();
            progress("reading functions", 1, 4);
            progress("reading functions", 2, 4);
            progress("pairing functions", 64, 64);
        }
        return out.str();
    };
    EXPECT_EQ(shown(true, 1000ms), "");
    EXPECT_EQ(shown(false, 0ms),
              "orvelin-scan: reading functions...\norvelin-scan: pairing functions...\n");
    const std::string pad(7, ' ');
    EXPECT_EQ(shown(true, 0ms),
              "\rorvelin-scan: [#######                       ] 25% reading functions" + pad +
                  "\rorvelin-scan: [###############               ] 50% reading functions" + pad +
                  "\rorvelin-scan: [##############################] 100% pairing functions" + pad +
                  "\n");
}

} // namespace
