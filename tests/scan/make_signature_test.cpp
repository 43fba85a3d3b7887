// Signatures made from instructions: what is wildcarded (MSVC's image-relative addressing among
// it), staying inside a function, signatures by reference, the engine pattern shape, and
// signatures of Windows code that nobody here wrote (Wine's own DLLs) found again by the tool.

#include "scan/engine_entry.hpp"
#include "scan/hex.hpp"
#include "scan/instructions.hpp"
#include "scan/make_signature.hpp"

#include "pe_file.hpp"
#include "support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

using testing_support::readFile;
using namespace testing_support::pe;
using namespace std::string_literals;

namespace {

constexpr std::uint32_t textRva = 0x1000;

PeLayout layoutOf(const std::string& code, Directory exceptions = {}, std::string pdata = "") {
    PeLayout layout{{{".text", textRva, 0x1000, code}, {".data", 0x2000, 0x1000, "d"}}, 0x4000};
    if (!pdata.empty()) {
        layout.sections.push_back({".pdata", 0x3000, 0x1000, std::move(pdata)});
    }
    layout.exceptions = exceptions;
    return layout;
}

scan::ExecutableImage imageOf(const PeLayout& layout) {
    std::string error;
    std::optional<scan::ExecutableImage> image = scan::layOutImage(makePe(layout), error);
    EXPECT_TRUE(image) << error;
    return std::move(*image);
}

scan::ExecutableImage imageOf(const std::string& code) {
    return imageOf(layoutOf(code));
}

// Two copies of a body, the first ending in ret and the second in nop: a signature of the first
// must reach its last byte.
std::string twice(const std::string& body) {
    std::string code(0x200, '\xCC');
    code.replace(0x000, body.size() + 1, body + "\xC3");
    code.replace(0x100, body.size() + 1, body + "\x90");
    return code;
}

TEST(MakeSignature, WildcardsWhatARelinkOrADataMoveChanges) {
    const std::pair<std::string, const char*> cases[] = {
        {"\x48\x8B\x05\x10\x20\x00\x00"             // mov rax, [rip + ..]
         "\x48\x85\xC0"                             // test rax, rax
         "\x0F\x85\x30\x00\x00\x00"                 // jne rel32
         "\x48\xB8\x00\x20\x00\x40\x01\x00\x00\x00" // an address inside the image
         "\x48\xB9\x78\x56\x34\x12\x78\x56\x34\x12" // a constant
         "\x8B\x44\x24\x20"                         // mov eax, [rsp + 0x20]
         "\xE8\x40\x00\x00\x00"s,                   // call rel32
         "48 8B 05 ?? ?? ?? ?? 48 85 C0 0F 85 ?? ?? ?? ?? 48 B8 ?? ?? ?? ?? ?? ?? ?? ?? 48 B9 78 "
         "56 "
         "34 12 78 56 34 12 8B 44 24 20 E8 ?? ?? ?? ?? C3"},
        // MSVC addresses data relative to the image base, held in a register: the RVAs change
        // when data moves; a structure offset (0x218 lies in no section) and a stack offset do not.
        {"\x4C\x8D\x25\xF9\xEF\xFF\xFF"     // lea r12, [rip - 0x1007]: the image base
         "\x4D\x8B\xB4\xF4\x40\x20\x00\x00" // mov r14, [r12 + rsi*8 + 0x2040]: .data
         "\x8B\x8C\x82\x00\x18\x00\x00"     // mov ecx, [rdx + rax*4 + 0x1800]: a jump table
         "\x4C\x01\xE1"                     // add rcx, r12
         "\x8B\x81\x18\x02\x00\x00"         // mov eax, [rcx + 0x218]
         "\x8B\x44\x24\x20"s,               // mov eax, [rsp + 0x20]
         "4C 8D 25 ?? ?? ?? ?? 4D 8B B4 F4 ?? ?? ?? ?? 8B 8C 82 ?? ?? ?? ?? 4C 01 E1 8B 81 18 02 "
         "00 "
         "00 8B 44 24 20 C3"},
    };
    for (const auto& [body, expected] : cases) {
        const scan::ExecutableImage image = imageOf(twice(body));
        std::string why;
        const std::optional<scan::MadeSignature> made = scan::makeSignature(image, textRva, why);
        ASSERT_TRUE(made) << why;
        EXPECT_EQ(scan::notation(made->signature), expected);
        EXPECT_EQ(made->rva, textRva);
    }
    // The longest signature there is, 64 bytes, is made: 63 no-ops, then what sets them apart.
    std::string why;
    const std::optional<scan::MadeSignature> longest =
        scan::makeSignature(imageOf(twice(std::string(63, '\x90'))), textRva, why);
    ASSERT_TRUE(longest) << why;
    EXPECT_EQ(longest->signature.length(), scan::longestSignature);
    // One instruction is enough where the first is unique.
    const scan::ExecutableImage image = imageOf(twice(cases[0].first));
    EXPECT_EQ(scan::notation(scan::makeSignature(image, textRva + 26, why)->signature),
              "48 B9 78 56 34 12 78 56 34 12 8B 44 24 20 E8 ?? ?? ?? ?? C3");

    const std::pair<std::string, const char*> failures[] = {
        {std::string(0x200, '\x90'), "within 64 bytes matches only once"},
        {std::string("\x06") + std::string(0x1FF, '\xCC'), "no instruction can be decoded"},
    };
    for (const auto& [failing, reason] : failures) {
        EXPECT_FALSE(scan::makeSignature(imageOf(failing), textRva, why));
        EXPECT_NE(why.find(reason), std::string::npos) << why;
    }
}

// Two functions of the same code, F and G, followed by different bytes; each called once, from
// callers whose instructions after the call differ.
PeLayout twoLookAlikes() {
    const std::string body = "\x48\x83\xEC\x28" // sub rsp, 0x28
                             "\x8B\x44\x24\x30" // mov eax, [rsp + 0x30]
                             "\x48\x83\xC4\x28" // add rsp, 0x28
                             "\xC3"s;           // ret
    std::string code(0x200, '\xCC');
    code.replace(0x00, body.size() + 4, body + "\x01\x02\x03\x04");
    code.replace(0x40, body.size() + 4, body + "\x05\x06\x07\x08");
    // Callers at 0x80 (of F, at text + 0) and 0xC0 (of G, at text + 0x40).
    code.replace(0x80, 15, "\xB9\x07\x00\x00\x00\xE8\x76\xFF\xFF\xFF\x48\x83\xC4\x28\xC3"s);
    code.replace(0xC0, 12, "\xB9\x07\x00\x00\x00\xE8\x76\xFF\xFF\xFF\x90\xC3"s);
    return layoutOf(
        code, {0x3000, 48},
        runtimeFunctions({{0x1000, 0x100D}, {0x1040, 0x104D}, {0x1080, 0x108F}, {0x10C0, 0x10CC}}));
}

TEST(MakeSignature, StaysInsideItsFunctionAndLeadsThereByReference) {
    const scan::ExecutableImage image = imageOf(twoLookAlikes());
    ASSERT_EQ(image.functions.size(), 4u);
    EXPECT_EQ(image.functionAt(0x100C)->begin, 0x1000u);
    EXPECT_FALSE(image.functionAt(0x100D)) << "the padding belongs to no function";

    // F alone is not unique; with the bytes after it, it would be.
    std::string why;
    EXPECT_FALSE(scan::makeSignature(image, textRva, why));
    EXPECT_NE(why.find("to the end of its function (RVA 0x100D)"), std::string::npos) << why;
    EXPECT_FALSE(scan::makeInteriorSignature(image, textRva));

    struct Case {
        std::uint64_t place;
        const char* signature;
        std::uint64_t caller;
    };
    for (const Case& example : {Case{0x1000, "E8 ?? ?? ?? ?? 48 83 C4 28", 0x1085},
                                Case{0x1040, "E8 ?? ?? ?? ?? 90", 0x10C5}}) {
        const std::vector<scan::ReferenceSignature> references =
            scan::makeReferenceSignatures(image, example.place);
        ASSERT_EQ(references.size(), 1u) << example.place;
        const scan::ReferenceSignature& reference = references.front();
        EXPECT_EQ(scan::notation(reference.made.signature), example.signature);
        EXPECT_EQ(reference.reference.rva, example.caller);
        EXPECT_TRUE(reference.reference.branch);
        EXPECT_EQ(reference.instructionOffset, 0u);
        EXPECT_EQ(scan::referencedRva(image, reference.made.rva + reference.instructionOffset,
                                      reference.reference.length, reference.reference.fieldOffset),
                  example.place);
    }
    // A leaf function has no entry of its own: it ends where the next known function begins.
    std::string code(0x200, '\xCC');
    code.replace(0x00, 17, "\x48\x83\xEC\x28\x8B\x44\x24\x30\x48\x83\xC4\x28\xC3\x01\x02\x03\x04"s);
    code.replace(0x100, 0x20, code.substr(0, 0x20));
    code.replace(0x20, 6, "\x48\x83\xEC\x28\x90\xC3"s);
    code.replace(0x120, 3, "\x31\xC0\xC3"s);
    const scan::ExecutableImage leaf =
        imageOf(layoutOf(code, {0x3000, 12}, runtimeFunctions({{0x1020, 0x1026}})));
    EXPECT_FALSE(scan::makeSignature(leaf, textRva, why));
    EXPECT_NE(why.find("(RVA 0x1020)"), std::string::npos) << why;

    // Without the exception directory the extent is unknown, and the old rule holds.
    PeLayout bare = twoLookAlikes();
    bare.exceptions = {};
    EXPECT_TRUE(scan::makeSignature(imageOf(bare), textRva, why)) << why;
}

TEST(MakeSignature, SaysWhetherItServesAsAnEnginePattern) {
    std::string code(0x300, '\xCC');
    // mov rax, [rip + 0x1009]: the global at 0x2010, after the code.
    code.replace(0x000, 12, "\x48\x8B\x05\x09\x10\x00\x00\x48\x85\xC0\x74\x05"s);
    // mov rbx, [rip - 0x1107]: a global before the code, which the plug-in would misread.
    code.replace(0x100, 10, "\x48\x8B\x1D\xF9\xEE\xFF\xFF\x48\x85\xDB"s);
    // push rbx; mov rax, [rip + ..]: the instruction with the global does not come first.
    code.replace(0x200, 11, "\x53\x48\x8B\x05\x00\x10\x00\x00\x5B\xC3\x90"s);
    const scan::ExecutableImage image = imageOf(code);
    struct Case {
        std::uint64_t rva;
        bool usable;
        const char* says; // the entry's mask, or why not
    };
    for (const Case& example :
         {Case{0x1000, true, "xxx???xxxx"}, Case{0x1100, false, "lies before the instruction"},
          Case{0x1200, false, "not 7 bytes long"}}) {
        std::string why;
        const std::optional<scan::MadeSignature> made =
            scan::makeSignature(image, example.rva, why);
        ASSERT_TRUE(made) << why;
        const scan::EnginePatternFit fit =
            scan::fitAsEnginePattern(image, made->signature, made->rva);
        EXPECT_EQ(fit.usable, example.usable) << example.rva;
        if (fit.usable) {
            EXPECT_EQ(fit.globalRva, 0x2010u);
            EXPECT_EQ(fit.section, ".data");
            EXPECT_EQ(fit.entry.mask, example.says);
            EXPECT_EQ(scan::tableEntry(fit.entry),
                      "{{\"\\x48\\x8B\\x05\\x00\\x00\\x00\\x00\\x48\\x85\\xC0\", \"xxx???xxxx\"}, "
                      "false}");
            // The plug-in's own rule finds the same global from the entry's one match.
            const BytePattern pattern = fit.entry.pattern();
            const unsigned char* match =
                findPattern(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                            pattern.bytes, pattern.mask, 0);
            ASSERT_NE(match, nullptr);
            EXPECT_EQ(referencedLocation(match) -
                          reinterpret_cast<std::uintptr_t>(image.bytes.data()),
                      fit.globalRva);
        } else {
            EXPECT_NE(fit.why.find(example.says), std::string::npos) << fit.why;
        }
    }
}

nlohmann::json scanJson(const std::string& arguments, int& status) {
    status = testing_support::runProgram("\"" + testing_support::builtProgram("orvelin-scan") +
                                             "\" --json " + arguments,
                                         "output.txt", "errors.txt");
    return nlohmann::json::parse(readFile("output.txt"), nullptr, false);
}

TEST(MakeSignature, ThroughTheToolAFunctionReachableOnlyByReference) {
    testing_support::ScratchFolder scratch("ByReference");
    testing_support::writeFile("game.exe", makePe(twoLookAlikes()));
    int status = 0;
    const nlohmann::json made = scanJson("--make-signature 4096 game.exe", status);
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

TEST(MakeSignature, SignaturesOfWineCodeAreFoundAgainAndNearMissesShowTheChangedByte) {
    const std::filesystem::path folder = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows";
    if (!std::filesystem::exists(folder)) {
        GTEST_SKIP() << "Wine's Windows DLLs are not installed";
    }
    testing_support::ScratchFolder scratch("WineCode");
    int made = 0;
    for (const char* name : {"ntdll.dll", "kernelbase.dll", "ucrtbase.dll"}) {
        const std::string dll = (folder / name).string();
        std::string error;
        const std::optional<scan::ExecutableImage> image = scan::layOutFile(dll, error);
        ASSERT_TRUE(image) << dll << ": " << error;
        ASSERT_GT(image->functions.size(), 100u) << name;
        // Three function starts spread over the exception directory.
        for (std::size_t n = 1; n <= 3; ++n) {
            const std::uint64_t rva = image->functions[n * image->functions.size() / 4].begin;
            int status = 0;
            const nlohmann::json signature =
                scanJson("--make-signature " + scan::hex(rva) + " " + dll, status);
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
            const nlohmann::json found = scanJson("--pattern \"" + text + "\" " + dll, status);
            EXPECT_EQ(status, 0) << text;
            EXPECT_EQ(found["matchRvas"], nlohmann::json({rva})) << text;

            // Its first fixed byte changed, as a game update would change the instruction.
            const std::size_t changed = signature["mask"].get<std::string>().find('x');
            std::string altered = text;
            char& digit = altered[3 * changed + 1];
            digit = digit == '0' ? '1' : '0';
            const nlohmann::json near =
                scanJson("--near 1 --pattern \"" + altered + "\" " + dll, status);
            const nlohmann::json& places = near["near"];
            EXPECT_NE(std::find_if(places.begin(), places.end(),
                                   [&](const nlohmann::json& place) {
                                       return place["rva"] == rva && place["differingOffsets"] ==
                                                                         nlohmann::json({changed});
                                   }),
                      places.end())
                << altered << ": " << near.dump();
        }
    }
    EXPECT_GE(made, 5) << "of 9 function starts";
}

} // namespace
