// What changed in a pair's code: a function's instructions aligned line by line, how the
// displacements of all paired code moved, and the printers of both.

#include "scan/changes/counterparts.hpp"
#include "scan/changes/field_moves.hpp"
#include "scan/changes/function_diff.hpp"
#include "scan/cli/render.hpp"
#include "scan/hex.hpp"

#include "pe_file.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <memory>
#include <sstream>

using namespace testing_support::pe;
using namespace testing_support::game;

namespace {

// F of callersProgram against F recompiled (one instruction removed, one inserted, one structure
// offset moved), the new build's code 0x300 further on and its data elsewhere: exactly those
// three lines differ. Its call to H leads to H's pair, its load of the global to data no pair
// names; both stay the same line.
TEST(FunctionDiff, OneInsertedOneRemovedAndOneOffsetMovedAreExactlyTheLinesThatDiffer) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const scan::ExecutableImage newer =
        imageOf(programOf(callersProgramRecompiled(), 0x300, 0x2A00));
    const scan::BuildMatch match = scan::matchBuilds(older, newer);
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    const std::uint32_t newF = oldF + 0x300;
    const std::uint32_t newH = placesOf(callersProgram()).at("H") + 0x300;
    ASSERT_EQ(match.newFunctionOf(oldF), std::optional<std::uint64_t>(newF));
    scan::Counterparts counterparts(older, newer, match);
    // Asked by an RVA inside F, of either build.
    const scan::Outcome<scan::FunctionDiff> diff =
        scan::diffFunction(counterparts, oldF + 21, false);
    ASSERT_TRUE(diff);
    ASSERT_EQ(diff->lines.size(), 14u);
    using Change = scan::DiffLine::Change;
    std::string changes;
    for (const scan::DiffLine& line : diff->lines) {
        changes += scan::changeText(line.change).substr(0, 1);
    }
    EXPECT_EQ(changes, "sssssfrsasssss");
    const scan::DiffLine& moved = diff->lines[5];
    ASSERT_EQ(moved.fields.size(), 1u);
    EXPECT_EQ(moved.fields[0].oldOperand, "[rax + 0x10]");
    EXPECT_EQ(moved.fields[0].newOperand, "[rax + 0x18]");
    EXPECT_EQ(moved.fields[0].oldValue, 0x10);
    EXPECT_EQ(moved.fields[0].newValue, 0x18);
    EXPECT_EQ(moved.older->rva, oldF + 20u);
    EXPECT_EQ(moved.newer->rva, newF + 20u);
    EXPECT_EQ(diff->lines[6].older->text, "mov rcx, rbx");
    EXPECT_FALSE(diff->lines[6].newer);
    EXPECT_EQ(diff->lines[8].newer->text, "xor edx, edx");
    EXPECT_EQ(diff->lines[8].newer->rva, newF + 29u);
    const scan::DiffLine& call = diff->lines[7];
    ASSERT_EQ(call.targets.size(), 1u);
    EXPECT_EQ(call.targets[0].pairedWith, std::optional<std::uint64_t>(newH));
    EXPECT_EQ(call.older->text, "call " + scan::hex(newH - 0x300));
    const scan::DiffLine& load = diff->lines[4];
    EXPECT_EQ(load.change, Change::same);
    EXPECT_EQ(load.older->text, "mov rax, qword ptr [rva 0x2100]");
    EXPECT_FALSE(load.targets.at(0).pairedWith); // writable data: nothing pairs it
    EXPECT_EQ(diff->counts[0], 11u);

    // The same function asked from the new build; a target that leads where the old one's pair
    // is not; an RVA in no function.
    const scan::Outcome<scan::FunctionDiff> fromNew = scan::diffFunction(counterparts, newF, true);
    ASSERT_TRUE(fromNew);
    EXPECT_EQ(fromNew->oldRva, std::optional<std::uint64_t>(oldF));
    EXPECT_EQ(fromNew->lines.size(), 14u);
    EXPECT_TRUE(counterparts.target(newH - 0x300, newF).leadsElsewhere());
    EXPECT_FALSE(counterparts.target(newH - 0x300, newH).leadsElsewhere());
    const scan::Outcome<scan::FunctionDiff> nowhere =
        scan::diffFunction(counterparts, 0x1000 + 0xF00, false);
    ASSERT_FALSE(nowhere);
    EXPECT_EQ(nowhere.error().kind, scan::Error::Kind::badArgument);

    // The text marks the changed operands, plain or in colour, and names the call's pair; JSON
    // carries each line with both sides.
    const scan::Report report = scan::FunctionDiffReport{"Old.exe", "New.exe", *diff};
    std::ostringstream plain;
    std::ostringstream coloured;
    std::ostringstream errors;
    std::ostringstream document;
    scan::printText(report, plain, errors);
    scan::printText(report, coloured, errors, {true});
    scan::printJson(report, document);
    EXPECT_NE(plain.str().find("~ " + scan::hex(oldF + 20) + "     " + scan::hex(newF + 20) +
                               "     mov rbx, qword ptr [-[rax + 0x10]-]  =>  mov rbx, qword ptr "
                               "{+[rax + 0x18]+}\n"),
              std::string::npos)
        << plain.str();
    EXPECT_NE(plain.str().find("- " + scan::hex(oldF + 24) +
                               "                "
                               "mov rcx, rbx\n"),
              std::string::npos)
        << plain.str();
    EXPECT_NE(plain.str().find(" (paired with " + scan::hex(newH) + ")\n"), std::string::npos);
    EXPECT_NE(coloured.str().find("\x1b[31m[rax + 0x10]\x1b[0m"), std::string::npos);
    EXPECT_EQ(coloured.str().find("[-"), std::string::npos);
    const nlohmann::json json = nlohmann::json::parse(document.str());
    EXPECT_EQ(json["oldRva"], oldF);
    EXPECT_EQ(json["newRva"], newF);
    EXPECT_EQ(json["exitStatus"], 0);
    EXPECT_EQ(json["lines"][5]["change"], "fields");
    EXPECT_EQ(json["lines"][5]["fields"][0]["old"], 0x10);
    EXPECT_EQ(json["lines"][5]["old"]["bytes"], "48 8B 58 10");
    EXPECT_TRUE(json["lines"][6]["new"].is_null());
    EXPECT_EQ(json["lines"][8]["change"], "added");
}

// Functions read from two builds and paired by hand, name for name: what the field moves count
// depends on the alignment alone, not on how the matcher voted.
scan::BuildMatch pairedByHand(const scan::ExecutableImage& older,
                              const scan::ExecutableImage& newer, std::size_t functions) {
    scan::BuildMatch match;
    match.olderRead = std::make_shared<const scan::BuildFunctions>(scan::readBuildFunctions(older));
    match.newerRead = std::make_shared<const scan::BuildFunctions>(scan::readBuildFunctions(newer));
    for (std::uint32_t n = 0; n < functions; ++n) {
        const std::uint32_t at = textRva + functionSpacing * n;
        match.pairs.push_back({at, at, false, 0});
    }
    return match;
}

// 0x10 became 0x18 in four instructions of three functions; one function kept 0x10, another
// made it 0x20: both moves are listed, each with the others as disagreeing. A displacement off
// rsp, and one whose instruction's immediate changed too, are no structure's move.
TEST(FieldMoves, AgreeingAndDisagreeingInstructionsAreCountedApart) {
    const auto program = [](const char* one, const char* two, const char* three, const char* four,
                            const char* five, const char* six, const char* seven) {
        return programOf(
            {{"P1", hexBytes(std::string("48 8B 41 ") + one + " C3")},
             {"P2", hexBytes(std::string("8B 42 ") + two + " 83 C0 01 C3")},
             {"P3", hexBytes(std::string("48 8B 41 ") + three + " C3")},
             {"P4", hexBytes(std::string("48 8B 41 ") + four + " C3")},
             {"P5", hexBytes(std::string("48 8B 44 24 ") + five + " C3")},
             {"P6", hexBytes(std::string("48 8B 41 ") + six + " 48 8B 51 " + six + " C3")},
             {"P7", hexBytes(std::string("C7 41 ") + seven + " C3")}});
    };
    const scan::ExecutableImage older =
        imageOf(program("10", "10", "10", "10", "10", "10", "10 05 00 00 00"));
    const scan::ExecutableImage newer =
        imageOf(program("18", "18", "10", "20", "18", "18", "18 06 00 00 00"));
    const scan::FieldMoves moves = scan::fieldMoves(older, newer, pairedByHand(older, newer, 7));
    ASSERT_EQ(moves.moves.size(), 2u);
    const scan::FieldMove& most = moves.moves[0];
    EXPECT_EQ(most.oldValue, 0x10);
    EXPECT_EQ(most.newValue, 0x18);
    EXPECT_EQ(most.instructions, 4u);
    EXPECT_EQ(most.functions, 3u);
    EXPECT_EQ(most.disagreeing, 2u);
    EXPECT_EQ(most.kept, 1u);
    const scan::FieldMove& other = moves.moves[1];
    EXPECT_EQ(other.newValue, 0x20);
    EXPECT_EQ(other.instructions, 1u);
    EXPECT_EQ(other.disagreeing, 5u);
    EXPECT_EQ(moves.moved, 5u);
    EXPECT_EQ(moves.displacements, 7u); // P5's is off rsp
    EXPECT_EQ(moves.pairsAligned, 7u);

    // The printers: the text lists the most common first with both counts.
    std::ostringstream text;
    std::ostringstream errors;
    std::ostringstream document;
    const scan::Report report = scan::FieldsReport{"Old.exe", "New.exe", moves};
    scan::printText(report, text, errors, {false, 1});
    scan::printJson(report, document);
    EXPECT_NE(text.str().find("  0x10 -> 0x18: 4 instructions in 3 functions; 2 with 0x10 disagree "
                              "(1 kept it)\n  and 1 more"),
              std::string::npos)
        << text.str();
    const nlohmann::json json = nlohmann::json::parse(document.str());
    EXPECT_EQ(json["fields"].size(), 2u);
    EXPECT_EQ(json["fields"][1]["new"], 0x20);
    EXPECT_EQ(json["fields"][1]["disagreeing"], 5);
}

} // namespace
