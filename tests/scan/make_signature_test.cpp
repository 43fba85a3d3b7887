// Signatures made from instructions: what is wildcarded (every field at its place in the encoding,
// MSVC's image-relative addressing through the image-base register), staying inside a function,
// and where a function alone is not unique, a reference that leads back to it.

#include "scan/engine/engine_entry.hpp"
#include "scan/hex.hpp"
#include "scan/image/code_walk.hpp"
#include "scan/image/instructions.hpp"
#include "scan/image/references.hpp"
#include "scan/routes/routes.hpp"

#include "pe_file.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

using namespace testing_support::pe;
using namespace testing_support::game;
using namespace std::string_literals;

namespace {

// The signature made at rva, in the modder's notation; why not, where there is none.
std::string signatureAt(const scan::ExecutableImage& image, std::uint64_t rva) {
    const scan::Outcome<scan::MadeSignature> made = scan::makeSignature(image, rva);
    return made ? scan::notation(made->signature) : "none: " + made.error().detail;
}

using testing_support::game::imageOf;

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
        // Short jumps lead somewhere as much as long ones: their targets are wildcarded too.
        {"\x74\x02"   // je +2
         "\xEB\x00"   // jmp +0
         "\x31\xC0"s, // xor eax, eax
         "74 ?? EB ?? 31 C0 C3"},
    };
    for (const auto& [body, expected] : cases) {
        const scan::ExecutableImage image = imageOf(twice(body));
        EXPECT_EQ(signatureAt(image, textRva), expected);
        EXPECT_EQ(scan::makeSignature(image, textRva)->rva, textRva);
    }
    // The longest signature there is, 64 bytes, is made: 63 no-ops, then what sets them apart.
    const scan::Outcome<scan::MadeSignature> longest =
        scan::makeSignature(imageOf(twice(std::string(63, '\x90'))), textRva);
    ASSERT_TRUE(longest) << longest.error().detail;
    EXPECT_EQ(longest->signature.length(), scan::longestSignature);
    // One instruction is enough where the first is unique.
    EXPECT_EQ(signatureAt(imageOf(twice(cases[0].first)), textRva + 26),
              "48 B9 78 56 34 12 78 56 34 12 8B 44 24 20 E8 ?? ?? ?? ?? C3");

    const std::pair<std::string, const char*> failures[] = {
        {std::string(0x200, '\x90'), "within 64 bytes matches only once"},
        {std::string("\x06") + std::string(0x1FF, '\xCC'), "no instruction can be decoded"},
    };
    for (const auto& [failing, reason] : failures) {
        const scan::Outcome<scan::MadeSignature> made =
            scan::makeSignature(imageOf(failing), textRva);
        ASSERT_FALSE(made);
        EXPECT_EQ(made.error().kind, scan::Error::Kind::notFound);
        EXPECT_NE(made.error().detail.find(reason), std::string::npos) << made.error().detail;
    }
}

TEST(MakeSignature, APrefixedRipRelativeDisplacementIsWildcardedWhole) {
    // Each refers to RVA 0x3B447 and more: every one of the four displacement bytes changes when
    // the data moves, whatever prefix or opcode map the instruction has.
    const std::pair<std::string, const char*> cases[] = {
        {"\x66\x89\x05\x40\xA4\x03\x00"s, "66 89 05 ?? ?? ?? ?? C3"}, // mov word [rip+], ax
        {"\x66\xC7\x05\x40\xA4\x03\x00\x34\x12"s, "66 C7 05 ?? ?? ?? ?? 34 12 C3"},
        {"\xF2\x0F\x10\x05\x40\xA4\x03\x00"s, "F2 0F 10 05 ?? ?? ?? ?? C3"}, // movsd
        {"\xF3\x0F\x10\x05\x40\xA4\x03\x00"s, "F3 0F 10 05 ?? ?? ?? ?? C3"}, // movss
        {"\x66\x0F\x6F\x05\x40\xA4\x03\x00"s, "66 0F 6F 05 ?? ?? ?? ?? C3"}, // movdqa
        {"\x66\x0F\x38\x00\x05\x40\xA4\x03\x00"s, "66 0F 38 00 05 ?? ?? ?? ?? C3"},
        {"\x66\x0F\x3A\x0F\x05\x40\xA4\x03\x00\x08"s, "66 0F 3A 0F 05 ?? ?? ?? ?? 08 C3"},
        {"\xC5\xF9\x6F\x05\x40\xA4\x03\x00"s, "C5 F9 6F 05 ?? ?? ?? ?? C3"}, // VEX
        {"\xC4\xE2\x79\x00\x05\x40\xA4\x03\x00"s, "C4 E2 79 00 05 ?? ?? ?? ?? C3"},
        {"\x62\xF1\xFD\x48\x6F\x05\x40\xA4\x03\x00"s, "62 F1 FD 48 6F 05 ?? ?? ?? ?? C3"},
    };
    for (const auto& [body, expected] : cases) {
        EXPECT_EQ(signatureAt(imageOf(twice(body)), textRva), expected) << expected;
        // Each is found as a reference to where it leads, its field 4 bytes wide.
        const scan::ExecutableImage image = imageOf(twice(body));
        const std::uint64_t target = *scan::instructionAt(image, textRva)->target - image.imageBase;
        const std::vector<scan::Reference> references = scan::findReferences(image, target);
        ASSERT_FALSE(references.empty()) << expected;
        EXPECT_EQ(references.front().rva, textRva) << expected;
    }
}

TEST(MakeSignature, OnlyARegisterHoldingTheImageBaseMakesADisplacementAnRva) {
    // lea r12, [rip - 0x1007] at the start of .text: r12 holds the image base (RVA 0).
    const std::string loadBase = "\x4C\x8D\x25\xF9\xEF\xFF\xFF"s;
    const std::string throughR12 = "\x4D\x8B\xB4\xF4\x40\x20\x00\x00"s; // [r12+rsi*8+0x2040]
    const std::string throughRdx = "\x8B\x8C\x82\x40\x20\x00\x00"s;     // [rdx+rax*4+0x2040]
    const std::string fieldR12 = "4D 8B B4 F4 ?? ?? ?? ??";
    const std::string fixedR12 = "4D 8B B4 F4 40 20 00 00";
    const std::string fixedRdx = "8B 8C 82 40 20 00 00";
    const std::pair<std::string, std::string> cases[] = {
        // Through the image-base register an RVA; the same offset through another, an offset.
        {loadBase + throughR12 + throughRdx, "4C 8D 25 ?? ?? ?? ?? " + fieldR12 + " " + fixedRdx},
        // Without the lea nothing holds the image base.
        {throughR12 + throughRdx, fixedR12 + " " + fixedRdx},
        // Overwritten after the lea (xor r12d, r12d): an offset again.
        {loadBase + "\x45\x31\xE4"s + throughR12, "4C 8D 25 ?? ?? ?? ?? 45 31 E4 " + fixedR12},
        // A call keeps r12 (the callee saves it) and may change rdx.
        {loadBase + "\x48\x8D\x15\xF2\xEF\xFF\xFF"s + "\xE8\x00\x00\x00\x00"s + throughR12 +
             "\x8B\x8C\x82\x40\x20\x00\x00"s,
         "4C 8D 25 ?? ?? ?? ?? 48 8D 15 ?? ?? ?? ?? E8 ?? ?? ?? ?? " + fieldR12 + " " + fixedRdx},
        // A lea of anything but RVA 0 loads no image base.
        {"\x4C\x8D\x25\xF9\xEF\xFF\x00"s + throughR12, "4C 8D 25 ?? ?? ?? ?? " + fixedR12},
        // A 2-byte access through it: the displacement is still 4 bytes, all of them an RVA.
        {loadBase + "\x66\x41\x89\x84\x24\x40\x20\x00\x00"s,
         "4C 8D 25 ?? ?? ?? ?? 66 41 89 84 24 ?? ?? ?? ??"},
        // The image base as the index: [rsi + r12*1 + 0x2040].
        {loadBase + "\x42\x8B\x84\x26\x40\x20\x00\x00"s,
         "4C 8D 25 ?? ?? ?? ?? 42 8B 84 26 ?? ?? ?? ??"},
    };
    for (const auto& [body, expected] : cases) {
        EXPECT_EQ(signatureAt(imageOf(twice(body)), textRva), expected + " C3") << expected;
    }
    // The Windows x64 convention: a call may change rax, rcx, rdx and r8 to r11, and keeps rbx,
    // rbp, rsi, rdi and r12 to r15, so that an image base held there survives it.
    const std::optional<scan::Instruction> call =
        scan::decodeInstruction(reinterpret_cast<const unsigned char*>("\xE8\0\0\0\0"), 5, 0);
    ASSERT_TRUE(call);
    scan::RegisterSet volatiles = 0;
    for (const int reg : {0, 1, 2, 8, 9, 10, 11}) {
        volatiles |= scan::registerBit(reg);
    }
    scan::RegisterSet kept = 0;
    for (const int reg : {3, 5, 6, 7, 12, 13, 14, 15}) {
        kept |= scan::registerBit(reg);
    }
    EXPECT_EQ(call->writes & volatiles, volatiles);
    EXPECT_EQ(call->writes & kept, 0);
    // A signature that starts after the lea knows r12 from its function's start.
    const scan::ExecutableImage image = imageOf(twice(loadBase + throughR12 + throughRdx));
    EXPECT_EQ(scan::imageBaseAt(image, textRva + 7), scan::registerBit(12));
    EXPECT_EQ(signatureAt(image, textRva + 7), fieldR12 + " " + fixedRdx + " C3");
}

TEST(MakeSignature, StaysInsideItsFunctionAndLeadsThereByReference) {
    const scan::ExecutableImage image = imageOf(twoLookAlikes());
    ASSERT_EQ(image.functions.size(), 4u);
    EXPECT_EQ(image.functionAt(0x100C)->begin, 0x1000u);
    EXPECT_FALSE(image.functionAt(0x100D)) << "the padding belongs to no function";

    // F alone is not unique; with the bytes after it, it would be.
    EXPECT_NE(signatureAt(image, textRva).find("to the end of its function (RVA 0x100D)"),
              std::string::npos);
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
        // Their margins only searched for, the same signatures are chosen.
        const std::vector<scan::ReferenceSignature> searched = scan::makeReferenceSignatures(
            image, example.place, 2, 3, scan::MarginMeasure::upToAsked);
        ASSERT_EQ(searched.size(), 1u) << example.place;
        EXPECT_EQ(
            scan::notation(searched.front().made.signature),
            scan::notation(
                scan::makeReferenceSignatures(image, example.place, 2).front().made.signature));
        const scan::ReferenceSignature& reference = references.front();
        EXPECT_EQ(scan::notation(reference.made.signature), example.signature);
        EXPECT_EQ(reference.reference.rva, example.caller);
        EXPECT_TRUE(reference.reference.branch);
        EXPECT_EQ(reference.instructionOffset, 0);
        EXPECT_EQ(
            image.relativeTargetRva(reference.made.rva + std::uint64_t(reference.instructionOffset),
                                    reference.reference.fieldOffset, reference.reference.length),
            example.place);
    }
    // A leaf function has no entry of its own: where no padding follows its ret, it ends at the
    // latest where the next known function begins.
    std::string code(0x200, '\xCC');
    code.replace(0x00, 0x20,
                 "\x48\x83\xEC\x28\x8B\x44\x24\x30\x48\x83\xC4\x28\xC3\x01\x02"s +
                     std::string(0x11, '\x90'));
    code.replace(0x100, 0x20, code.substr(0, 0x20));
    code.replace(0x20, 6, "\x48\x83\xEC\x28\x90\xC3"s);
    code.replace(0x120, 3, "\x31\xC0\xC3"s);
    const scan::ExecutableImage leaf =
        imageOf(layoutOf(code, {0x3000, 12}, runtimeFunctions({{0x1020, 0x1026}})));
    EXPECT_NE(signatureAt(leaf, textRva).find("(RVA 0x1020)"), std::string::npos)
        << signatureAt(leaf, textRva);

    // Without the exception directory the extent is unknown, and the old rule holds.
    PeLayout bare = twoLookAlikes();
    bare.exceptions = {};
    EXPECT_TRUE(scan::makeSignature(imageOf(bare), textRva));
}

TEST(MakeSignature, GrowsUntilNoOtherPlaceIsOneByteAway) {
    // mov eax, 1; mov ecx, 2; ret, with a rival whose second instruction differs in one byte,
    // and whose last byte (ret or nop) can make the difference two.
    const std::string body = "\xB8\x01\x00\x00\x00\xB9\x02\x00\x00\x00\xC3"s;
    struct Case {
        char rivalEnd;
        std::size_t asked;
        std::size_t length;
        std::size_t margin;
    };
    for (const Case& example :
         {Case{'\xC3', 1, 10, 1}, Case{'\x90', 1, 10, 1}, Case{'\x90', 2, 11, 2},
          // out of reach: the shortest with the widest margin there is
          Case{'\xC3', 2, 10, 1}, Case{'\xC3', 3, 10, 1}}) {
        std::string code(0x200, '\xCC');
        code.replace(0x00, body.size(), body);
        code.replace(0x100, body.size(), body);
        code[0x106] = '\x03';
        code[0x10A] = example.rivalEnd;
        const scan::Outcome<scan::MadeSignature> made =
            scan::makeSignature(imageOf(code), textRva, example.asked);
        ASSERT_TRUE(made) << made.error().detail;
        EXPECT_EQ(made->signature.length(), example.length) << example.asked;
        EXPECT_EQ(made->margin, example.margin) << example.asked;
    }
    // Alone, its margin may pass the one asked (it does for 2): measured in full for the user,
    // and left at the one asked where the signature is only searched for; the signature is the
    // same.
    std::string alone(0x200, '\xCC');
    alone.replace(0x00, body.size(), body);
    for (const std::size_t asked : {1u, 2u, 3u}) {
        const scan::Outcome<scan::MadeSignature> exact =
            scan::makeSignature(imageOf(alone), textRva, asked);
        const scan::Outcome<scan::MadeSignature> searched =
            scan::makeSignature(imageOf(alone), textRva, asked, scan::MarginMeasure::upToAsked);
        ASSERT_TRUE(exact && searched) << asked;
        EXPECT_EQ(searched->margin, std::min(exact->margin, asked)) << asked;
        EXPECT_TRUE(asked != 2 || exact->margin > asked) << exact->margin;
        EXPECT_EQ(searched->signature.bytes, exact->signature.bytes) << asked;
        EXPECT_EQ(searched->signature.mask, exact->signature.mask) << asked;
    }
}

TEST(MakeSignature, AGrowthSearchesLessOnlyWhereAnotherGrowthOfTheSameCodeShowsWhatItWouldFind) {
    // mov eax, 1; mov ecx, 2; ret, and a copy with a nop for the ret.
    const std::string body = "\xB8\x01\x00\x00\x00\xB9\x02\x00\x00\x00"s;
    std::string code(0x200, '\xCC');
    code.replace(0x00, body.size() + 1, body + "\xC3"s);
    code.replace(0x100, body.size() + 1, body + "\x90"s);
    const scan::ExecutableImage image = imageOf(code);
    auto grow = [&](std::uint64_t start, std::uint64_t through, std::uint64_t limit,
                    scan::FirstPlaces* known, scan::NeverOnce* neverOnce) {
        const scan::Outcome<scan::MadeSignature> made = scan::growSignature(
            image, start, through, limit, 0, 1, scan::MarginMeasure::exact, known, neverOnce);
        return made ? scan::notation(made->signature) + " at " + scan::hex(made->rva)
                    : std::string("none");
    };
    // As their users grow them. To one end from ever earlier starts: the later start's first
    // signature leaves its places, the earlier one picks from them.
    scan::FirstPlaces known;
    EXPECT_EQ(grow(0x1005, 0x100A, 0x100B, &known, nullptr), "B9 02 00 00 00 C3 at 0x1005");
    ASSERT_TRUE(known.places);
    EXPECT_EQ(*known.places, (std::vector<std::uint64_t>{0x1005, 0x1105}));
    EXPECT_EQ(grow(0x1000, 0x100A, 0x100B, &known, nullptr),
              "B8 01 00 00 00 B9 02 00 00 00 C3 at 0x1000");
    EXPECT_EQ(known.start, 0x1000u);
    // From ever later starts: the copy's growth, stopped short of its nop, matches twice at every
    // length and leaves that; one from its second instruction skips those lengths, not the next.
    scan::NeverOnce grown;
    EXPECT_EQ(grow(0x1100, 0x1101, 0x110A, nullptr, &grown), "none");
    EXPECT_EQ(grown.start, 0x1100u);
    EXPECT_EQ(scan::notation(grown.signature), "B8 01 00 00 00 B9 02 00 00 00");
    EXPECT_EQ(grow(0x1105, 0x1106, 0x110B, nullptr, &grown), "B9 02 00 00 00 90 at 0x1105");
    // What another growth left where it does not hold is not used: places that would find
    // nothing, and lengths that would skip the one that matches once.
    const std::vector<std::uint64_t> nowhere;
    const std::string fixed(11, 'x');
    struct Case {
        const char* what;
        std::uint64_t start;
        scan::FirstPlaces known;
        scan::NeverOnce earlier;
    };
    for (const Case& example :
         {Case{"places of the same start",
               0x1000,
               {0x1000, {"\xB8\x01\0\0\0"s, "xxxxx"}, nowhere},
               {}},
          Case{"places of another fixed byte",
               0x1000,
               {0x1005, {"\xB9\x03\0\0\0"s, "xxxxx"}, nowhere},
               {}},
          Case{"places past its first signature",
               0x1000,
               {0x1005, {"\xB9\x02\0\0\0\xC3\xCC"s, "xxxxxxx"}, nowhere},
               {}},
          Case{"too many places to keep",
               0x1000,
               {0x1005, {"\xB9\x02\0\0\0"s, "xxxxx"}, std::nullopt},
               {}},
          Case{
              "lengths of the same start", 0x1005, {}, {0x1005, {"\xB9\x02\0\0\0\xC3"s, "xxxxxx"}}},
          Case{"lengths of another fixed byte", 0x1005, {}, {0x1000, {body + "\xC2"s, fixed}}},
          Case{"lengths with a byte wildcarded that is fixed here",
               0x1005,
               {},
               {0x1000, {body + "\xC3"s, "xxxxxxxxxx?"}}},
          Case{"lengths shorter than it", 0x1005, {}, {0x1000, {body, fixed.substr(1)}}}}) {
        scan::FirstPlaces places = example.known;
        scan::NeverOnce earlier = example.earlier;
        const std::uint64_t through = example.start == 0x1000 ? 0x100A : 0x1006;
        EXPECT_EQ(grow(example.start, through, 0x100B, &places, &earlier),
                  grow(example.start, through, 0x100B, nullptr, nullptr))
            << example.what;
    }
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
        const scan::Outcome<scan::MadeSignature> made = scan::makeSignature(image, example.rva);
        ASSERT_TRUE(made) << made.error().detail;
        const scan::Outcome<scan::EngineEntry> fit =
            scan::fitAsEnginePattern(image, made->signature, made->rva);
        EXPECT_EQ(static_cast<bool>(fit), example.usable) << example.rva;
        if (fit) {
            EXPECT_EQ(fit->global.rva, 0x2010u);
            EXPECT_EQ(fit->global.section, ".data");
            EXPECT_EQ(fit->entry.mask, example.says);
            EXPECT_EQ(scan::tableEntry(fit->entry),
                      "{{\"\\x48\\x8B\\x05\\x00\\x00\\x00\\x00\\x48\\x85\\xC0\", \"xxx???xxxx\"}, "
                      "false}");
            // The plug-in's own rule finds the same global from the entry's one match.
            const BytePattern pattern = fit->entry.pattern();
            const unsigned char* match =
                findPattern(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                            pattern.bytes, pattern.mask, 0);
            ASSERT_NE(match, nullptr);
            EXPECT_EQ(referencedLocation(match) -
                          reinterpret_cast<std::uintptr_t>(image.bytes.data()),
                      fit->global.rva);
        } else {
            EXPECT_NE(fit.error().detail.find(example.says), std::string::npos);
        }
    }
}

} // namespace
