// Signatures in the modder's notation, and signatures made from instructions, in-process and
// through orvelin-scan on Windows code that nobody here wrote: Wine's own DLLs.

#include "scan/hex.hpp"
#include "scan/instructions.hpp"
#include "scan/make_signature.hpp"
#include "scan/signature.hpp"

#include "pe_file.hpp"
#include "support.hpp"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>

using testing_support::readFile;
using namespace testing_support::pe;
using namespace std::string_literals;

namespace {

TEST(Signature, NotationReadsAndWritesBack) {
    const std::pair<const char*, const char*> cases[] = {
        {"48 8B 05 ?? ?? ?? 03 48 85 C0", "48 8B 05 ?? ?? ?? 03 48 85 C0"},
        {"  48\t8b ? ?? e8  ", "48 8B ?? ?? E8"},
        {"?? 00 ff", "?? 00 FF"},
    };
    for (const auto& [text, written] : cases) {
        std::string error;
        const std::optional<scan::Signature> signature = scan::parseSignature(text, error);
        ASSERT_TRUE(signature) << text << ": " << error;
        EXPECT_EQ(scan::notation(*signature), written);
        EXPECT_EQ(scan::parseSignature(written, error)->bytes, signature->bytes);
    }
    std::string error;
    const auto signature = scan::parseSignature("48 ?? 0D", error);
    EXPECT_EQ(signature->mask, "x?x");
    EXPECT_EQ(scan::escapedBytes(*signature), "\\x48\\x00\\x0D");
}

#if defined(_WIN32)
TEST(MakeSignature, TheWindowsBuildSaysItNeedsTheLinuxBuild) {
    testing_support::ScratchFolder folder("WindowsBuild");
    testing_support::writeFile("game.exe", makePe({{{".text", 0x1000, 0x10, "\xC3"}}, 0x2000}));
    const int status =
        testing_support::runProgram("\"" + testing_support::builtProgram("orvelin-scan") +
                                        "\" --make-signature 0x1000 game.exe",
                                    "output.txt", "errors.txt");
    EXPECT_EQ(status, 3);
    EXPECT_EQ(readFile("errors.txt"), "orvelin-scan: --make-signature: this build of orvelin-scan "
                                      "cannot decode instructions: use the Linux build\r\n");
}
#else
scan::ExecutableImage imageOf(const std::string& code) {
    std::string error;
    std::optional<scan::ExecutableImage> image =
        scan::layOutImage(makePe({{{".text", 0x1000, 0x1000, code}}, 0x3000}), error);
    EXPECT_TRUE(image) << error;
    return std::move(*image);
}

TEST(MakeSignature, WildcardsWhatARelinkChangesAndStopsWhenUnique) {
    // Twice the same instructions but for the last; the signature must reach that one.
    const std::string body = "\x48\x8B\x05\x10\x20\x00\x00"             // mov rax, [rip + ..]
                             "\x48\x85\xC0"                             // test rax, rax
                             "\x0F\x85\x30\x00\x00\x00"                 // jne rel32
                             "\x48\xB8\x00\x20\x00\x40\x01\x00\x00\x00" // an address inside
                             "\x48\xB9\x78\x56\x34\x12\x78\x56\x34\x12" // a constant
                             "\x8B\x44\x24\x20"                         // mov eax, [rsp+32]
                             "\xE8\x40\x00\x00\x00"s;                   // call rel32
    std::string code(0x200, '\xCC');
    code.replace(0x000, body.size() + 1, body + "\xC3");
    code.replace(0x100, body.size() + 1, body + "\x90");
    const scan::ExecutableImage image = imageOf(code);
    std::string why;
    const std::optional<scan::MadeSignature> made = scan::makeSignature(image, 0x1000, why);
    ASSERT_TRUE(made) << why;
    EXPECT_EQ(scan::notation(made->signature),
              "48 8B 05 ?? ?? ?? ?? 48 85 C0 0F 85 ?? ?? ?? ?? 48 B8 ?? ?? ?? ?? ?? ?? ?? ?? 48 B9 "
              "78 56 34 12 78 56 34 12 8B 44 24 20 E8 ?? ?? ?? ?? C3");
    EXPECT_EQ(made->instructions.size(), 8u);

    // One instruction is enough where the first is unique.
    EXPECT_EQ(scan::notation(scan::makeSignature(image, 0x1000 + 26, why)->signature),
              "48 B9 78 56 34 12 78 56 34 12 8B 44 24 20 E8 ?? ?? ?? ?? C3");

    const std::pair<std::string, const char*> failures[] = {
        {std::string(0x200, '\x90'), "within 64 bytes matches only once"},
        {std::string("\x06") + std::string(0x1FF, '\xCC'), "no instruction can be decoded"},
    };
    for (const auto& [failing, reason] : failures) {
        EXPECT_FALSE(scan::makeSignature(imageOf(failing), 0x1000, why));
        EXPECT_NE(why.find(reason), std::string::npos) << why;
    }
}

nlohmann::json scanJson(const std::string& arguments, int& status) {
    status = testing_support::runProgram("\"" + testing_support::builtProgram("orvelin-scan") +
                                             "\" --json " + arguments,
                                         "output.txt", "errors.txt");
    return nlohmann::json::parse(readFile("output.txt"), nullptr, false);
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
        // Instruction starts: every fifth instruction from the entry point on.
        std::vector<std::uint64_t> starts;
        for (std::uint64_t at = image->entryPoint, n = 0; starts.size() < 3; ++n) {
            const auto instruction =
                scan::decodeInstruction(image->bytes.data() + at, 15, image->imageBase + at);
            ASSERT_TRUE(instruction) << name << " at " << at;
            if (n % 5 == 0) {
                starts.push_back(at);
            }
            at += instruction->length;
        }
        for (const std::uint64_t rva : starts) {
            int status = 0;
            const nlohmann::json signature =
                scanJson("--make-signature 0x" + scan::hex(rva).substr(2) + " " + dll, status);
            if (status == 1) {
                // Code that occurs twice for 64 bytes has none; the tool says so.
                EXPECT_NE(signature["error"].get<std::string>().find("within 64 bytes"),
                          std::string::npos);
                continue;
            }
            ASSERT_EQ(status, 0) << name << " " << rva << ": " << signature.dump();
            ++made;
            EXPECT_EQ(signature["rva"], rva);
            const std::string text = signature["signature"];
            const nlohmann::json found = scanJson("--pattern \"" + text + "\" " + dll, status);
            EXPECT_EQ(status, 0) << text;
            EXPECT_EQ(found["matches"], 1) << text;
            EXPECT_EQ(found["matchRvas"], nlohmann::json({rva})) << text;

            // Its first fixed byte changed, as a game update would change the instruction.
            const std::size_t changed = signature["mask"].get<std::string>().find('x');
            std::string altered = text;
            char& digit = altered[3 * changed + 1];
            digit = digit == '0' ? '1' : '0';
            const nlohmann::json near =
                scanJson("--near 1 --pattern \"" + altered + "\" " + dll, status);
            const nlohmann::json expected = {{"rva", rva}, {"differingOffsets", {changed}}};
            EXPECT_NE(std::find(near["near"].begin(), near["near"].end(), expected),
                      near["near"].end())
                << altered << ": " << near.dump();
        }
    }
    EXPECT_GE(made, 6) << "of 9 instruction starts";
}
#endif

} // namespace
