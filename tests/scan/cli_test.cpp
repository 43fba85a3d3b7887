// orvelin-scan as its users run it: every option, exit status, text line and JSON document, on
// synthetic games and on Windows code that nobody here wrote (Wine's own DLLs).

#include "engine/locator.hpp"
#include "engine/pattern.hpp"
#include "orvelin_version.hpp"
#include "pe_file.hpp"
#include "platform/module_image.hpp"
#include "runner/engine_image.hpp"
#include "scan/hex.hpp"
#include "scan/image/image.hpp"
#include "support.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstring>
#include <filesystem>

using testing_support::readFile;
using testing_support::ScratchFolder;
using testing_support::writeFile;
using namespace testing_support::pe;
using namespace testing_support::game;
using namespace std::string_literals;

namespace {

nlohmann::json parsed(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
}

class ScanTool : public ::testing::Test {
protected:
    ScratchFolder folder{::testing::UnitTest::GetInstance()->current_test_info()->name()};
    testing_support::ScanRun last{};

    int scan(const std::string& arguments) {
        last = testing_support::runScan(arguments);
        return last.status;
    }
    const std::string& output() const { return last.output; }
    const std::string& errors() const { return last.errors; }
};

TEST_F(ScanTool, ExitStatusSaysWhatItFound) {
    writeFile("game.exe", makePe(gameWith({0, 1, 2})));
    writeFile("older.exe", makePe(gameWith({0, 2})));
    writeFile("broken.exe", makePe(gameWith({0})).substr(0, 0x100));
    PeLayout small = gameWith({0, 1, 2});
    small.imageSize = 0x3400000; // global 1 lies just past the image's end
    small.sections.pop_back();
    writeFile("outside.exe", makePe(small));

    EXPECT_EQ(scan("game.exe"), 0);
    EXPECT_NE(output().find("Pattern 1: found at RVA 0x1100, global at RVA 0x3400100 in .bss"),
              std::string::npos)
        << output();
    EXPECT_EQ(scan("older.exe"), 1);
    EXPECT_NE(output().find("Pattern 2: not found"), std::string::npos);
    // Matched, but the plug-in would refuse to read a global outside the image: not found.
    EXPECT_EQ(scan("outside.exe"), 1);
    EXPECT_NE(output().find("Pattern 1: not found: the match at RVA 0x1100 refers to RVA 0x3400100 "
                            "outside the image"),
              std::string::npos)
        << output();
    EXPECT_EQ(scan("broken.exe"), 2);
    EXPECT_NE(errors().find("broken.exe: not a usable PE32+ image: truncated headers"),
              std::string::npos)
        << errors();
    EXPECT_EQ(scan("no-such-file.exe"), 2);
    EXPECT_NE(errors().find("cannot read the file"), std::string::npos);
    EXPECT_EQ(scan("--version"), 0);
    EXPECT_EQ(output(), std::string("orvelin-scan ") + orvelin_build::version + "\n");
}

TEST_F(ScanTool, JsonCarriesTheSameFindings) {
    writeFile("older.exe", makePe(gameWith({0, 2})));
    EXPECT_EQ(scan("--json older.exe"), 1);
    const nlohmann::json report = parsed(output());
    EXPECT_EQ(report["allFound"], false);
    EXPECT_EQ(report["patterns"][0]["globalRva"], 0x3400100);
    EXPECT_EQ(report["patterns"][0]["section"], ".bss");
    EXPECT_EQ(report["patterns"][1]["found"], false);
    EXPECT_EQ(report["patterns"][2]["matchRva"], 0x1300);

    writeFile("broken.exe", "MZ");
    EXPECT_EQ(scan("--json broken.exe"), 2);
    EXPECT_NE(parsed(output())["error"].get<std::string>().find("not a PE file at all"),
              std::string::npos);
}

TEST_F(ScanTool, MatchCountsSayWhenAPatternIsAmbiguous) {
    PeLayout layout = gameWith({0, 1, 2});
    const EnginePattern& third = enginePatterns[2];
    std::memcpy(layout.sections[0].raw.data() + 0x3A0, layout.sections[0].raw.data() + 0x300,
                std::strlen(third.mask));
    writeFile("twice.exe", makePe(layout));
    EXPECT_EQ(scan("twice.exe"), 0);
    const std::string text = output();
    EXPECT_NE(text.find("Pattern 1: found at RVA 0x1100, global at RVA 0x3400100 in .bss; matches "
                        "once\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("in .bss; matches 2 places (ambiguous: the plug-in takes the lowest), at "
                        "RVA 0x1300, 0x13A0\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(scan("--json twice.exe"), 0);
    const nlohmann::json report = parsed(output());
    EXPECT_EQ(report["patterns"][0]["matches"], 1);
    EXPECT_EQ(report["patterns"][2]["matches"], 2);
    EXPECT_EQ(report["patterns"][2]["matchRvas"], nlohmann::json({0x1300, 0x13A0}));
    EXPECT_EQ(report["patterns"][2]["matchRva"], 0x1300) << "the plug-in's pick";
}

TEST_F(ScanTool, MatchRvasAreTheLowestSixteen) {
    PeLayout layout = gameWith({0, 1});
    const EnginePattern& third = enginePatterns[2];
    layout.sections[0].raw.resize(0x500, '\xCC');
    layout.sections[0].virtualSize = 0x500;
    for (std::size_t n = 0; n < 20; ++n) {
        std::memcpy(layout.sections[0].raw.data() + 0x300 + 0x10 * n, third.bytes,
                    std::strlen(third.mask));
    }
    writeFile("many.exe", makePe(layout));
    std::vector<std::uint64_t> lowest;
    for (std::uint64_t n = 0; n < 16; ++n) {
        lowest.push_back(textAddress + 0x300 + 0x10 * n);
    }
    EXPECT_EQ(scan("--json many.exe"), 0);
    EXPECT_EQ(parsed(output())["patterns"][2]["matches"], 20);
    EXPECT_EQ(parsed(output())["patterns"][2]["matchRvas"], nlohmann::json(lowest));
    EXPECT_EQ(scan("--json --pattern \"48 8B 1D ?? ?? ?? ?? 48 85 DB\" many.exe"), 0);
    EXPECT_EQ(parsed(output())["matchRvas"], nlohmann::json(lowest));
    EXPECT_EQ(scan("many.exe"), 0);
    EXPECT_NE(
        output().find("matches 20 places (ambiguous: the plug-in takes the lowest), at RVA "
                      "0x1300, 0x1310, 0x1320, 0x1330, 0x1340, 0x1350, 0x1360, 0x1370, "
                      "0x1380, 0x1390, 0x13A0, 0x13B0, 0x13C0, 0x13D0, 0x13E0, 0x13F0, ...\n"),
        std::string::npos)
        << output();
}

TEST_F(ScanTool, AFunctionReachedOnlyThroughATableGetsATableRoute) {
    writeFile("game.exe", makePe(reachedThroughATable()));
    EXPECT_EQ(scan("--json --make-signature 0x1040 game.exe"), 0);
    const nlohmann::json made = parsed(output());
    ASSERT_EQ(made["tables"].size(), 1u) << made.dump();
    EXPECT_EQ(made["tables"][0]["signature"], "48 8D 05 ?? ?? ?? ??");
    EXPECT_EQ(made["tables"][0]["tableRva"], 0x2008);
    EXPECT_EQ(made["tables"][0]["slotOffset"], 8);
    EXPECT_EQ(made["tables"][0]["fieldOffset"], 3);
    EXPECT_EQ(made["tables"][0]["resolvesTo"], 0x1040);
    EXPECT_EQ(made["references"], nlohmann::json::array());
    EXPECT_EQ(scan("--make-signature 0x1040 game.exe"), 0);
    EXPECT_NE(output().find("Table signature 1: lea rax, [rip + 0xf81] at RVA 0x1080 addresses the "
                            "table at RVA 0x2008, whose slot at +0x8 holds the address of RVA "
                            "0x1040;"),
              std::string::npos)
        << output();
}

TEST_F(ScanTool, AFunctionReachedOnlyThroughAJumpThunkGetsAThunkRoute) {
    writeFile("game.exe", makePe(incrementallyLinked()));
    EXPECT_EQ(scan("--json --make-signature 0x1200 game.exe"), 0);
    const nlohmann::json made = parsed(output());
    ASSERT_EQ(made["thunks"].size(), 1u) << made.dump();
    EXPECT_EQ(made["thunks"][0]["thunkRva"], 0x1000);
    EXPECT_EQ(made["thunks"][0]["rva"], 0x1305);
    EXPECT_EQ(made["thunks"][0]["resolvesTo"], 0x1200);
    EXPECT_EQ(made["references"], nlohmann::json::array()) << "one hop leads to the thunk only";
    EXPECT_EQ(scan("--make-signature 0x1200 game.exe"), 0);
    EXPECT_NE(output().find("Thunk signature 1: call 0x140001000 at RVA 0x1305 refers to the jump "
                            "at RVA 0x1000, which jumps to RVA 0x1200;"),
              std::string::npos)
        << output();
}

TEST_F(ScanTool, ASignatureOfTheUsersOwn) {
    writeFile("game.exe", makePe(gameWith({0, 1, 2})));
    writeFile("broken.exe", "MZ");
    struct Case {
        const char* signature;
        const char* file;
        int status;
        const char* says; // in the JSON document's matches, or in the error line
    };
    const Case cases[] = {
        {"48 8B 1D ?? ?? ?? 04", "game.exe", 0, "1"},
        {"48 8b 1d ? ?  ?\t04 48", "game.exe", 0, "1"},
        {"48 ?? ?? ?? ?? ?? 04", "game.exe", 0, "2"},
        {"48 8B 1D ?? ?? ?? 05", "game.exe", 1, "0"},
        {"48 8G", "game.exe", 3, "'8G' (token 2) is not a byte"},
        {"0x48", "game.exe", 3, "'0x48' (token 1) is not a byte"},
        {"48 ?\?\?", "game.exe", 3, "'?\?\?' (token 2) is not a byte"},
        {"?? ??", "game.exe", 3, "fixes no byte"},
        {"", "game.exe", 3, "empty"},
        {"48 8B", "broken.exe", 2, ""},
    };
    for (const Case& example : cases) {
        const int status =
            scan("--json --pattern \"" + std::string(example.signature) + "\" " + example.file);
        EXPECT_EQ(status, example.status) << example.signature;
        if (status == 0 || status == 1) {
            const nlohmann::json report = parsed(output());
            EXPECT_EQ(report["pattern"], example.signature);
            EXPECT_EQ(report["matches"].dump(), example.says) << example.signature;
            EXPECT_EQ(report["matchRvas"].size(), report["matches"].get<std::size_t>());
        } else if (status == 3) {
            const nlohmann::json report = parsed(output());
            EXPECT_EQ(report["exitStatus"], 3);
            EXPECT_NE(report["error"].get<std::string>().find(example.says), std::string::npos)
                << report.dump();
        }
    }
    // Each match's instruction has the engine patterns' shape: where it leads is shown.
    EXPECT_EQ(scan("--pattern \"48 ?? ?? ?? ?? ?? 04\" game.exe"), 0);
    EXPECT_EQ(output(), "Pattern 48 ?? ?? ?? ?? ?? 04: 2 matches, at RVA 0x1200 (refers to RVA "
                        "0x4400000 in .bss), 0x1300 (refers to RVA 0x4400010 in .bss)\n");
    EXPECT_EQ(scan("--json --pattern \"48 ?? ?? ?? ?? ?? 04\" game.exe"), 0);
    EXPECT_EQ(parsed(output())["refersTo"], nlohmann::json({0x4400000, 0x4400010}));
}

TEST_F(ScanTool, NearMatchesShowWhereAChangedInstructionWent) {
    PeLayout layout = gameWith({0, 1, 2});
    layout.sections[0].raw[0x200 + 12] = '\xE9'; // the second call became a jump
    writeFile("updated.exe", makePe(layout));
    EXPECT_EQ(scan("updated.exe"), 1);
    EXPECT_NE(output().find("Pattern 2: not found\n"), std::string::npos);
    EXPECT_EQ(scan("--near 1 updated.exe"), 1);
    EXPECT_NE(output().find("Pattern 2: not found\n  near match at RVA 0x1200: offset 12 differs "
                            "(refers to RVA 0x4400000 in .bss)\n"),
              std::string::npos)
        << output();
    EXPECT_EQ(scan("--near 2 --json updated.exe"), 1);
    nlohmann::json report = parsed(output());
    EXPECT_EQ(report["patterns"][1]["near"],
              nlohmann::json::parse(
                  R"([{"rva": 4608, "differingOffsets": [12], "refersTo": 71303168}])"));
    EXPECT_EQ(report["patterns"][1]["nearTotal"], 1);
    EXPECT_EQ(report["patterns"][0]["near"], nlohmann::json::array()) << "an exact match is none";
    const std::string signature = "48 8D 0D ?? ?? ?? 04 E8 ?? ?? ?? ?? E8";
    EXPECT_EQ(scan("--json --near 1 --pattern \"" + signature + "\" updated.exe"), 1);
    report = parsed(output());
    EXPECT_EQ(report["near"][0]["differingOffsets"], nlohmann::json({12}));
    EXPECT_NE(scan("--near 5 updated.exe"), 0);
}

TEST_F(ScanTool, NearPlacesAreCountedAndMoreCanBeListed) {
    std::string code(0x400, '\xCC');
    for (std::size_t n = 0; n < 8; ++n) {
        code.replace(0x40 * n, 4, "\xAA\xBB\xCC\xDE");
    }
    writeFile("near.exe", makePe({{{".text", textAddress, 0x400, code}}, 0x2000}));
    EXPECT_EQ(scan("--json --near 1 --pattern \"AA BB CC DD\" near.exe"), 1);
    nlohmann::json report = parsed(output());
    EXPECT_EQ(report["nearTotal"], 8);
    EXPECT_EQ(report["near"].size(), 5u);
    EXPECT_EQ(scan("--json --near 1 --list 7 --pattern \"AA BB CC DD\" near.exe"), 1);
    report = parsed(output());
    EXPECT_EQ(report["near"].size(), 7u);
    EXPECT_EQ(report["near"][6]["rva"], textAddress + 0x40 * 6) << "lowest address first";
    EXPECT_EQ(scan("--near 1 --pattern \"AA BB CC DD\" near.exe"), 1);
    EXPECT_NE(output().find("  (8 near places in all; --list N shows more)\n"), std::string::npos)
        << output();
    // Fewest differences first, then the lowest address: places two bytes off, lower down, come
    // after those one byte off.
    code.replace(0x10, 4, "\xAA\xBB\xCF\xDE");
    code.replace(0x50, 4, "\xAA\xBB\xCF\xDE");
    writeFile("near.exe", makePe({{{".text", textAddress, 0x400, code}}, 0x2000}));
    EXPECT_EQ(scan("--json --near 2 --list 10 --pattern \"AA BB CC DD\" near.exe"), 1);
    report = parsed(output());
    std::vector<std::uint64_t> order;
    for (const nlohmann::json& place : report["near"]) {
        order.push_back(place["rva"]);
    }
    EXPECT_EQ(order, (std::vector<std::uint64_t>{0x1000, 0x1040, 0x1080, 0x10C0, 0x1100, 0x1140,
                                                 0x1180, 0x11C0, 0x1010, 0x1050}));
}

TEST_F(ScanTool, EveryArgumentAndInputGetsAClearOutcome) {
    writeFile("game.exe", makePe(gameWith({0, 1, 2})));
    std::filesystem::create_directory("folder.exe");
    // A Unix path as a user under Wine types it; natively it is the path itself.
    std::string absolute = std::filesystem::absolute("game.exe").string();
    if (absolute.size() > 2 && absolute[1] == ':') {
        absolute.erase(0, 2);
        std::replace(absolute.begin(), absolute.end(), '\\', '/');
    }
    struct Case {
        std::string arguments;
        int status;
        const char* says; // in the one error line, or the JSON document
    };
    const Case cases[] = {
        {"--near 5 game.exe", 3, "--near"},
        {"--bogus game.exe", 3, "--bogus"},
        {"", 3, "executable"},
        {"game.exe other.exe", 3, "other.exe"},
        {"--list 7 game.exe", 3, "--near"},
        {"--by-reference game.exe", 3, "--make-signature"},
        {"--make-signature 0x1100 --pattern 48 game.exe", 3, "--pattern"},
        {"--make-signature \"\" game.exe", 3, "the RVA is empty"},
        {"--make-signature 12z game.exe", 3, "'12z' is not an RVA"},
        {"--make-signature 0x game.exe", 3, "'0x' is not an RVA"},
        {"--make-signature 0x10 game.exe", 3, "RVA 0x10 lies in no section"},
        {"--make-signature 0x2000 game.exe", 3, "RVA 0x2000 lies in .data, which holds no code"},
        {"--make-signature 0x99999999 game.exe", 3, "lies outside the image"},
        {"--make-signature 99999999999999999999999 game.exe", 3, "is not an RVA"},
        {"folder.exe", 2, "a folder"},
        {"\"" + absolute + "\"", 0, ""},
        {"--make-signature 4352 game.exe", 0, ""}, // decimal, as --json prints RVAs
        {"--make-signature 0x1100 game.exe", 0, ""},
    };
    for (const Case& example : cases) {
        EXPECT_EQ(scan(example.arguments), example.status) << example.arguments;
        if (example.status >= 2) {
            EXPECT_NE(errors().find(example.says), std::string::npos)
                << example.arguments << errors();
            EXPECT_EQ(std::count(errors().begin(), errors().end(), '\n'), 1) << errors();
            EXPECT_EQ(output(), "") << example.arguments;
        }
        EXPECT_EQ(scan("--json " + example.arguments), example.status) << example.arguments;
        const nlohmann::json report = parsed(output());
        EXPECT_EQ(report["exitStatus"], example.status) << example.arguments << output();
        if (example.status >= 2) {
            EXPECT_NE(report.value("error", "").find(example.says), std::string::npos)
                << example.arguments << report.dump();
        }
    }
    // Both spellings of the RVA make the same signature, and it can serve as an engine pattern.
    EXPECT_EQ(scan("--json --make-signature 4352 game.exe"), 0);
    const nlohmann::json made = parsed(output());
    EXPECT_EQ(made["rva"], 0x1100);
    EXPECT_EQ(made["enginePattern"]["usable"], true);
    EXPECT_EQ(made["enginePattern"]["globalRva"], 0x3400100);
    EXPECT_EQ(made["enginePattern"]["mask"].get<std::string>().substr(0, 7), "xxx???x");
    EXPECT_EQ(made["instructions"][0], "mov rax, qword ptr [rip + 0x33feff9]");
    EXPECT_EQ(scan("--help"), 0);
    EXPECT_NE(output().find("--make-signature"), std::string::npos);
#if !defined(_WIN32)
    // A pipe would block an open for reading until a writer came: refused at once.
    ASSERT_EQ(testing_support::runProgram("mkfifo pipe.exe", "output.txt", "errors.txt"), 0);
    EXPECT_EQ(scan("pipe.exe"), 2);
    EXPECT_NE(errors().find("a pipe, device or socket"), std::string::npos);
#endif
}

TEST_F(ScanTool, AFileThatPointsFarIntoItselfIsRejectedWithoutReadingItAll) {
    // Sparse: 4 GiB long, its PE header offset 3.75 GiB in. Each header piece is read at its own
    // offset, so nothing near that size is ever held.
    std::string head(0x40, '\0');
    head[0] = 'M';
    head[1] = 'Z';
    put32(head, 0x3C, 0xF0000000);
    writeFile("sparse.exe", head);
    std::filesystem::resize_file("sparse.exe", std::uint64_t{4} << 30);
#if defined(_WIN32) || defined(__SANITIZE_ADDRESS__)
    EXPECT_EQ(scan("sparse.exe"), 2);
#else
    // With no more than 256 MiB of address space: room for the tool, not for the file.
    const int status = testing_support::runProgram(
        "sh -c 'ulimit -v 262144; exec \"" + testing_support::builtProgram("orvelin-scan") +
            "\" sparse.exe'",
        "output.txt", "errors.txt");
    EXPECT_EQ(status, 2);
    last = {status, readFile("output.txt"), readFile("errors.txt")};
#endif
    EXPECT_NE(errors().find("no PE signature"), std::string::npos) << errors();
    std::filesystem::remove("sparse.exe");
}

#if defined(_WIN32)
TEST_F(ScanTool, FindsOnDiskWhatThePluginFindsInTheRunningProgram) {
    // This program carries the runner's engine instructions and globals.
    runner::startEngine();
    locateEngineGlobals();
    const auto base = reinterpret_cast<std::uintptr_t>(platform::mainModuleImage()->base);
    const runner::EngineGlobals globals = runner::engineGlobals();
    ASSERT_EQ(engineGlobal1, *globals.global1);
    const std::uint64_t pluginFound[3] = {reinterpret_cast<std::uintptr_t>(globals.global1) - base,
                                          engineGlobal2 - base, engineGlobal3 - base};

    EXPECT_EQ(scan("--json \"" + testing_support::builtProgram("scan_cli_test") + "\""), 0);
    const nlohmann::json report = parsed(output());
    for (std::size_t n = 0; n < 3; ++n) {
        EXPECT_EQ(report["patterns"][n]["globalRva"], pluginFound[n]) << "pattern " << n + 1;
    }
    EXPECT_EQ(scan("\"" + testing_support::builtProgram("orvelin-host") + "\""), 0);
    EXPECT_NE(output().find("Pattern 3: found"), std::string::npos);
}
#endif

// The tool's JSON document and its exit status.
struct JsonRun {
    nlohmann::json document;
    int status;
};

JsonRun scanJson(const std::string& arguments) {
    const testing_support::ScanRun run = testing_support::runScan("--json " + arguments);
    return {parsed(run.output), run.status};
}

TEST(MakeSignature, ThroughTheToolAFunctionReachableOnlyByReference) {
    testing_support::ScratchFolder scratch("ByReference");
    testing_support::writeFile("game.exe", makePe(twoLookAlikes()));
    const auto [made, status] = scanJson("--make-signature 4096 --margin 1 game.exe");
    EXPECT_EQ(status, 0) << made.dump();
    EXPECT_EQ(made["exitStatus"], 0);
    EXPECT_EQ(made["function"], nlohmann::json({{"begin", 0x1000}, {"end", 0x100D}}));
    ASSERT_EQ(made["references"].size(), 1u) << made.dump();
    const nlohmann::json& reference = made["references"][0];
    EXPECT_EQ(reference["signature"], "E8 ?? ?? ?? ?? 48 83 C4 28");
    EXPECT_EQ(reference["resolvesTo"], 0x1000);
    EXPECT_EQ(reference["instructions"], nlohmann::json({"call 0x140001000", "add rsp, 0x28"}));
    EXPECT_EQ(reference["enginePattern"]["usable"], false);
}

TEST_F(ScanTool, UpdateCarriesATableOverOrSaysWhyNot) {
    writeFile("old.exe", makePe(programOf(callersProgram())));
    writeFile("new.exe", makePe(programOf(callersProgram(otherPrologue), 0x40)));
    std::vector<Function> lookAlike = callersProgram(otherPrologue, "L");
    lookAlike.push_back(loaderOfTheGlobal("L", otherPrologue));
    writeFile("misled.exe", makePe(programOf(lookAlike)));
    writeFile("table.txt", "# F's start\nF 48 89 5C 24 08 57 48 83 EC 20 48 8B F9\n");

    EXPECT_EQ(scan("update old.exe new.exe --table table.txt"), 0) << errors();
    EXPECT_EQ(output(),
              "F: moved from RVA 0x1040 to RVA 0x1080; 3 of 4 anchors found once, 3 agree\n"
              "  48 89 74 24 08\n"
              "  margin 3: every other place differs in at least 3 of its fixed bytes\n"
              "  its function found by the two builds' match (evidence: calls, neighbours)\n");

    EXPECT_EQ(scan("update --json old.exe misled.exe --table table.txt"), 1);
    const nlohmann::json lost = parsed(output())["entries"][0];
    EXPECT_EQ(lost["status"], "lost");
    EXPECT_TRUE(lost["newRva"].is_null());
    EXPECT_TRUE(lost["signature"].is_null());
    EXPECT_EQ(lost["candidates"], nlohmann::json({0x1040, 0x1180}));
    EXPECT_EQ(lost["anchorsAgreeing"], 1);
    EXPECT_EQ(parsed(output())["exitStatus"], 1);

    // The carried table, written over the one read: the new signature, which the next update
    // reads back; a lost entry kept as a comment; a file that cannot be written, exit status 2.
    writeFile("carried.txt", readFile("table.txt"));
    EXPECT_EQ(scan("update old.exe new.exe --table carried.txt --write-table carried.txt"), 0);
    EXPECT_NE(readFile("carried.txt").find("\nF 48 89 74 24 08\n"), std::string::npos)
        << readFile("carried.txt");
    EXPECT_EQ(scan("update --json new.exe new.exe --table carried.txt"), 0);
    EXPECT_EQ(parsed(output())["entries"][0]["status"], "unchanged");
    EXPECT_EQ(scan("update old.exe misled.exe --table table.txt --write-table lost.txt"), 1);
    EXPECT_NE(readFile("lost.txt")
                  .find("# F: lost, its anchors found once lead to different "
                        "functions"),
              std::string::npos)
        << readFile("lost.txt");
    EXPECT_EQ(scan("update old.exe new.exe --table table.txt --write-table absent/out.txt"), 2);
    EXPECT_NE(errors().find("cannot write the file: --write-table: absent/out.txt"),
              std::string::npos)
        << errors();

    // The plug-in's own patterns without a table, each with its table entry.
    writeFile("game.exe", makePe(gameWith({0, 1, 2})));
    EXPECT_EQ(scan("update --json game.exe game.exe"), 0) << output();
    const nlohmann::json engine = parsed(output())["entries"];
    ASSERT_EQ(engine.size(), 3u);
    for (std::size_t n = 0; n < 3; ++n) {
        EXPECT_EQ(engine[n]["name"], "engineGlobal" + std::to_string(n + 1));
        EXPECT_EQ(engine[n]["status"], "unchanged") << engine[n].dump();
        EXPECT_EQ(engine[n]["enginePattern"]["globalRva"], globalAddresses[n]);
    }
    EXPECT_NE(engine[0]["enginePattern"]["entry"].get<std::string>().find("}, true}"),
              std::string::npos);

    // What stops it: one line each, with the exit status of its kind.
    writeFile("bad.txt", "F 48 89 5C\nG 4Z 8B\n");
    EXPECT_EQ(scan("update old.exe new.exe --table bad.txt"), 3);
    EXPECT_EQ(errors().rfind("orvelin-scan: --table: line 2: ", 0), 0u) << errors();
    EXPECT_EQ(std::count(errors().begin(), errors().end(), '\n'), 1);
    EXPECT_EQ(scan("update old.exe new.exe --table absent.txt"), 2);
    EXPECT_EQ(scan("update old.exe"), 3);
    EXPECT_EQ(scan("update old.exe absent.exe --table table.txt"), 2);
}

TEST_F(ScanTool, DiffPairsTheFunctionsOfTwoBuilds) {
    writeFile("old.exe", makePe(programOf(callersProgram())));
    writeFile("new.exe", makePe(programOf(callersProgram(otherPrologue), 0x40)));

    EXPECT_EQ(scan("diff old.exe new.exe --list 2"), 0) << errors();
    EXPECT_EQ(output().rfind("Functions: 6 in old.exe, 6 in new.exe\n"
                             "Paired: 6 (5 unchanged, 1 changed)\n"
                             "Unpaired: 0 of the old build (removed, or compiled past "
                             "recognition), 0 of the new build\n"
                             "  RVA 0x1000 -> RVA 0x1040, unchanged; evidence: code, neighbours\n"
                             "  RVA 0x1040 -> RVA 0x1080, changed; evidence: ",
                             0),
              0u)
        << output();
    EXPECT_NE(output().find("\nTook "), std::string::npos);

    EXPECT_EQ(scan("diff --json old.exe new.exe"), 0);
    const nlohmann::json document = parsed(output());
    EXPECT_EQ(document["older"], "old.exe");
    EXPECT_EQ(document["exitStatus"], 0);
    ASSERT_EQ(document["functions"].size(), 6u);
    // The recompiled caller is known by its callees and where it lies.
    EXPECT_EQ(document["functions"][1], nlohmann::json({{"oldRva", 0x1040},
                                                        {"newRva", 0x1080},
                                                        {"same", false},
                                                        {"evidence", {"calls", "neighbours"}}}));
    EXPECT_TRUE(document["removed"].empty() && document["added"].empty());
    EXPECT_EQ(document["summary"]["paired"], 6);
    EXPECT_EQ(document["summary"]["changed"], 1);

    // Only the kinds asked: by identical code alone nothing has the two kinds a pair needs.
    EXPECT_EQ(scan("diff --json old.exe new.exe --evidence code"), 0);
    const nlohmann::json codeOnly = parsed(output());
    EXPECT_TRUE(codeOnly["functions"].empty());
    EXPECT_EQ(codeOnly["removedWhy"].size(), 6u);
    EXPECT_EQ(codeOnly["summary"]["unpaired"]["oneKind"], 10);
    EXPECT_EQ(scan("diff old.exe new.exe --evidence code,guesses"), 3);
    EXPECT_NE(errors().find("--evidence: 'guesses' is no kind of evidence"), std::string::npos)
        << errors();

    EXPECT_EQ(scan("diff old.exe absent.exe"), 2);
    EXPECT_EQ(scan("diff --json old.exe"), 3);
    EXPECT_EQ(parsed(output())["exitStatus"], 3);
}

// One function's lines and the fields' moves, through the tool: the exit status says whether the
// function asked has a pair, and a malformed or misplaced RVA gets its own answer.
TEST_F(ScanTool, DiffShowsAFunctionsLinesAndHowFieldsMoved) {
    writeFile("old.exe", makePe(programOf(callersProgram())));
    writeFile("new.exe", makePe(programOf(callersProgramRecompiled(), 0x300, 0x2A00)));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");

    EXPECT_EQ(scan("diff old.exe new.exe --function " + std::to_string(oldF + 20)), 0) << errors();
    EXPECT_NE(output().find("Lines: 11 same, 1 with fields changed, 1 added, 1 removed\n"),
              std::string::npos)
        << output();
    EXPECT_NE(output().find("[-[rax + 0x10]-]"), std::string::npos) << output(); // no terminal
    EXPECT_EQ(
        scan("diff --json old.exe new.exe --function-new 0x" + scan::hex(oldF + 0x300).substr(2)),
        0);
    const nlohmann::json function = parsed(output());
    EXPECT_EQ(function["oldRva"], oldF);
    EXPECT_EQ(function["lines"].size(), 14u);
    EXPECT_EQ(function["lines"][5]["fields"][0]["new"], 0x18);

    EXPECT_EQ(scan("diff --json old.exe new.exe --fields"), 0) << errors();
    const nlohmann::json fields = parsed(output());
    ASSERT_FALSE(fields["fields"].empty());
    EXPECT_EQ(fields["fields"][0]["old"], 0x10);
    EXPECT_EQ(fields["fields"][0]["new"], 0x18);

    EXPECT_EQ(scan("diff old.exe new.exe --function 0x1F00"), 3); // in .text, in no function
    EXPECT_NE(errors().find("--function: RVA 0x1F00 lies in no function of the old build"),
              std::string::npos)
        << errors();
    EXPECT_EQ(scan("diff old.exe new.exe --function health"), 3);
    EXPECT_EQ(scan("diff old.exe new.exe --function 1 --function-new 1"), 3);

    // A function the match leaves unpaired: its reason, and exit status 1.
    writeFile("other.exe", makePe(programOf({{"Z", hexBytes("31 C0 C3")}})));
    EXPECT_EQ(scan("diff --json old.exe other.exe --function " + std::to_string(oldF)), 1);
    const nlohmann::json unpaired = parsed(output());
    EXPECT_TRUE(unpaired["newRva"].is_null());
    EXPECT_FALSE(unpaired["why"].is_null());
}

TEST(MakeSignature, SignaturesOfWineCodeAreFoundAgainAndNearMissesShowTheChangedByte) {
    const std::filesystem::path folder = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
    if (!std::filesystem::exists(folder)) {
        GTEST_SKIP() << "Wine's Windows DLLs are not installed";
    }
    testing_support::ScratchFolder scratch("WineCode");
    int made = 0;
    for (const char* name : {"ntdll.dll", "kernelbase.dll", "ucrtbase.dll"}) {
        const std::string dll = (folder / name).string();
        const scan::Outcome<scan::ExecutableImage> image = scan::layOutFile(dll);
        ASSERT_TRUE(image) << dll << ": " << scan::message(image.error());
        ASSERT_GT(image->functions.size(), 100u) << name;
        // Three function starts spread over the exception directory.
        for (std::size_t n = 1; n <= 3; ++n) {
            const std::uint64_t rva = image->functions[n * image->functions.size() / 4].begin;
            const auto [signature, status] =
                scanJson("--make-signature " + scan::hex(rva) + " " + dll);
            ASSERT_TRUE(status == 0 || status == 1)
                << name << " " << rva << ": " << signature.dump();
            if (!signature.contains("signature")) {
                // Code that occurs elsewhere too; the tool says why, and what it offers instead
                // leads back here.
                EXPECT_FALSE(signature["error"].get<std::string>().empty());
                for (const nlohmann::json& reference : signature["references"]) {
                    EXPECT_EQ(reference["resolvesTo"], rva);
                }
                continue;
            }
            ++made;
            EXPECT_EQ(signature["rva"], rva);
            const scan::FunctionExtent function = *image->functionAt(rva);
            EXPECT_LE(rva + signature["length"].get<std::uint64_t>(), function.end)
                << "inside its function";
            const std::string text = signature["signature"];
            const JsonRun found = scanJson("--pattern \"" + text + "\" " + dll);
            EXPECT_EQ(found.status, 0) << text;
            EXPECT_EQ(found.document["matchRvas"], nlohmann::json({rva})) << text;

            // Its first fixed byte changed, as a game update would change the instruction.
            const std::size_t changed = signature["mask"].get<std::string>().find('x');
            std::string altered = text;
            char& digit = altered[3 * changed + 1];
            digit = digit == '0' ? '1' : '0';
            const JsonRun near = scanJson("--near 1 --pattern \"" + altered + "\" " + dll);
            const nlohmann::json& places = near.document["near"];
            EXPECT_NE(std::find_if(places.begin(), places.end(),
                                   [&](const nlohmann::json& place) {
                                       return place["rva"] == rva && place["differingOffsets"] ==
                                                                         nlohmann::json({changed});
                                   }),
                      places.end())
                << altered << ": " << near.document.dump();
        }
    }
    EXPECT_GE(made, 5) << "of 9 function starts";
}

} // namespace
