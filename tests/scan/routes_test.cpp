// The routes to a place whose own code is not unique, each followed as its user will follow it:
// by reference (from the referring instruction, or from later in its function), through a jump
// thunk, through a table of pointers; and the routes no code gives, an export's name, and the
// exception funclets that no code can reach.

#include "scan/image/build_functions.hpp"
#include "scan/image/funclets.hpp"
#include "scan/image/image.hpp"
#include "scan/routes/routes.hpp"

#include "pe_file.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace testing_support::pe;
using namespace testing_support::game;
using namespace std::string_literals;

namespace {

TEST(Routes, AFunctionReachedOnlyByATailCallIsFoundByReference) {
    // F's only caller ends in add rsp, 0x28; jmp F (a tail call); G's calls it.
    PeLayout layout = twoLookAlikes();
    std::string& code = layout.sections[0].raw;
    code.replace(0x80, 15, "\xB9\x07\x00\x00\x00\x48\x83\xC4\x28\xE9\x72\xFF\xFF\xFF\xCC"s);
    const scan::ExecutableImage image = imageOf(layout);
    const std::vector<scan::Reference> references = scan::findReferences(image, 0x1000);
    ASSERT_EQ(references.size(), 1u);
    EXPECT_EQ(references.front().rva, 0x1089u);
    EXPECT_TRUE(references.front().branch);
    EXPECT_EQ(references.front().text, "jmp 0x140001000");
    const scan::SignatureRoutes routes = scan::findSignatureRoutes(image, 0x1000, false);
    ASSERT_EQ(routes.references.size(), 1u);
    EXPECT_EQ(scan::notation(routes.references.front().route.made.signature), "E9 ?? ?? ?? ??");
    EXPECT_EQ(routes.references.front().route.made.rva +
                  std::uint64_t(routes.references.front().route.instructionOffset),
              0x1089u);
    // Nothing else leads there: no reference to the padding, none found in a range that misses.
    EXPECT_TRUE(scan::findReferences(image, 0x1001, 0x103F).empty());
}

TEST(Routes, AFieldThatBeginsInZeroFillIsNoReference) {
    // mov rax, [rip + 0] whose field of zeros begins a run of zeros: code where the run is short,
    // fill (256 or more) where nothing is code, so that nothing there refers anywhere.
    for (const std::size_t zeros : {100u, 300u}) {
        std::string code = "\x48\x8B\x05"s + std::string(zeros, '\0') + "\xC3"s;
        code.resize(0x1000, '\xCC');
        const scan::ExecutableImage image =
            imageOf(PeLayout{{{".text", 0x1000, 0x1000, code}}, 0x2000});
        EXPECT_EQ(scan::findReferences(image, 0x1007).size(), zeros < 256 ? 1u : 0u) << zeros;
    }
}

TEST(Routes, AReferenceIsFoundAfterZerosOfAnyLengthAndWithAFieldOfZeros) {
    // At 0x1000 a ret; then z zero bytes (a table's, or fill from 256 on); then call 0x1000,
    // and call 0x100B + z, whose field is all zeros (a call of the next instruction).
    for (const std::size_t zeros : {0u, 3u, 100u, 255u, 256u, 300u}) {
        std::string code = "\xC3"s + std::string(zeros, '\0') + "\xE8....\xE8\0\0\0\0\xC3"s;
        const std::uint32_t call = 0x1001 + static_cast<std::uint32_t>(zeros);
        const std::int32_t back = 0x1000 - static_cast<std::int32_t>(call + 5);
        std::memcpy(code.data() + (call - 0x1000) + 1, &back, 4);
        code.resize(0x1000, '\xCC');
        const scan::ExecutableImage image =
            imageOf(PeLayout{{{".text", 0x1000, 0x1000, code}}, 0x2000});
        const std::vector<scan::Reference> toStart = scan::findReferences(image, 0x1000);
        ASSERT_EQ(toStart.size(), 1u) << zeros;
        EXPECT_EQ(toStart.front().rva, call) << zeros;
        const std::vector<scan::Reference> toNext = scan::findReferences(image, call + 10);
        ASSERT_EQ(toNext.size(), 1u) << zeros;
        EXPECT_EQ(toNext.front().rva, call + 5) << zeros;
    }
}

TEST(Routes, AReferenceIsFoundWhereverItLiesInTheCodeAndWhateverComesAfterItsField) {
    // The code is asked sixteen places at a time: calls of 0x1000 and stores to it
    // (mov dword [rip + d], imm32, whose field ends four bytes before the instruction) at every
    // place modulo 16, and a call in the section's last five bytes, where no block of sixteen fits.
    std::string code = "\xC3"s;
    code.resize(0x1000, '\xCC');
    std::vector<std::uint32_t> expected;
    auto put = [&](std::uint32_t rva, const std::string& bytes, std::size_t fieldAt) {
        code.replace(rva - 0x1000, bytes.size(), bytes);
        const auto field = static_cast<std::int32_t>(0x1000 - (rva + bytes.size()));
        std::memcpy(code.data() + (rva - 0x1000) + fieldAt, &field, 4);
        expected.push_back(rva);
    };
    for (std::uint32_t k = 0; k < 16; ++k) {
        put(0x1010 + 21 * k, "\xE8...."s, 1);
    }
    for (std::uint32_t k = 0; k < 16; ++k) {
        put(0x1200 + 23 * k, "\xC7\x05....\x07\x00\x00\x00"s, 2);
    }
    put(0x1FFB, "\xE8...."s, 1);
    const scan::ExecutableImage image =
        imageOf(PeLayout{{{".text", 0x1000, 0x1000, code}}, 0x2000});
    std::vector<std::uint32_t> found;
    for (const scan::Reference& reference : scan::findReferences(image, 0x1000)) {
        found.push_back(static_cast<std::uint32_t>(reference.rva));
    }
    EXPECT_EQ(found, expected);
    // A range just past the place, and one just before it, hold none of them.
    EXPECT_TRUE(scan::findReferences(image, 0x1001, 0x1008).empty());
    EXPECT_TRUE(scan::findReferences(image, 0x0FF0, 0x0FFF).empty());
}

// F is reached only through its jump thunk; a jump inside a function's code is no thunk.
TEST(Routes, AFunctionReachedOnlyThroughAJumpThunkGetsAThunkRoute) {
    const scan::ExecutableImage image = imageOf(incrementallyLinked());
    const scan::SignatureRoutes routes = scan::findSignatureRoutes(image, 0x1200, false);
    ASSERT_FALSE(routes.own);
    EXPECT_TRUE(routes.references.empty()); // the thunk's own jump is one of many alike
    ASSERT_TRUE(routes.thunksLooked);
    ASSERT_EQ(routes.thunks.size(), 1u);
    const scan::ThunkSignature& route = routes.thunks.front().route;
    EXPECT_EQ(route.thunkRva, 0x1000u);
    EXPECT_EQ(route.route.reference.rva, 0x1305u);
    // Followed as a plug-in would: the one match, where its call leads, where that jump leads.
    const BytePattern pattern = route.route.made.signature.pattern();
    std::size_t matches = 0;
    forEachMatch(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                 std::span(&pattern, 1), [&](std::size_t, const unsigned char* match) {
                     const std::uint64_t call =
                         image.rvaOf(match) + std::uint64_t(route.route.instructionOffset);
                     const std::uint64_t thunk = image.relativeTargetRva(call, 1, 5);
                     EXPECT_EQ(thunk, 0x1000u);
                     EXPECT_EQ(image.relativeTargetRva(thunk, 1, 5), 0x1200u);
                     return ++matches < 2;
                 });
    EXPECT_EQ(matches, 1u);
    // A jump inside a function's code is no thunk: nothing leads to G through M.
    EXPECT_TRUE(scan::makeThunkSignatures(image, 0x1240).empty());
}

// A reference signature grows back from the referring instruction, one instruction at a time,
// until no other place is within the margin asked of it, and is the shortest that gets there:
// D and E each differ from C's call site in one byte of the last instructions before it.
TEST(Routes, AReferenceSignatureGrowsBackUntilItHasItsMargin) {
    const std::vector<Function> program = {
        {"P", hexBytes("8B C1 C3")},
        {"C",
         hexBytes("48 83 EC 28 8B D1 B9 07 00 00 00 E8 00 00 00 00 48 83 C4 28 C3"),
         {{12, "P"}}},
        {"D",
         hexBytes("48 83 EC 28 8B D1 B9 08 00 00 00 E8 00 00 00 00 48 83 C4 38 C3"),
         {{12, "Q"}}},
        {"E",
         hexBytes("48 83 EC 28 8B D2 B9 07 00 00 00 E8 00 00 00 00 48 83 C4 20 C3"),
         {{12, "Q"}}},
        {"Q", hexBytes("33 C0 C3")}};
    const scan::ExecutableImage image = imageOf(programOf(program));
    const std::uint32_t p = placesOf(program).at("P");
    const std::pair<std::size_t, const char*> expected[] = {
        {1, "E8 ?? ?? ?? ?? 48 83 C4 28"}, {2, "8B D1 B9 07 00 00 00 E8 ?? ?? ?? ?? 48 83 C4 28"}};
    for (const auto& [margin, signature] : expected) {
        const std::vector<scan::ReferenceSignature> routes =
            scan::makeReferenceSignatures(image, p, margin);
        ASSERT_EQ(routes.size(), 1u) << margin;
        EXPECT_EQ(scan::notation(routes.front().made.signature), signature);
        EXPECT_EQ(routes.front().made.margin, margin);
        EXPECT_EQ(routes.front().made.rva + std::uint64_t(routes.front().instructionOffset),
                  placesOf(program).at("C") + 11);
    }
}

// Of the signatures that reach the margin asked, the shortest is taken, never the one with the
// widest margin: C's lea of P's address alone already differs from every other place in two
// fixed bytes, and starting further back would differ in more.
TEST(Routes, TheShortestSignatureThatReachesTheMarginIsTakenNotTheWidest) {
    const std::vector<Function> program = {
        {"P", hexBytes("8B C1 C3")},
        {"C",
         hexBytes("48 83 EC 28 B9 07 00 00 00 48 8D 0D 00 00 00 00 48 83 C4 28 C3"),
         {{12, "P"}}}};
    const scan::ExecutableImage image = imageOf(programOf(program));
    for (const std::size_t margin : {1u, 2u}) {
        const std::vector<scan::ReferenceSignature> routes =
            scan::makeReferenceSignatures(image, placesOf(program).at("P"), margin);
        ASSERT_EQ(routes.size(), 1u);
        EXPECT_EQ(scan::notation(routes.front().made.signature), "48 8D 0D ?? ?? ?? ??") << margin;
        EXPECT_EQ(routes.front().made.margin, 2u);
    }
}

TEST(Routes, AFunctionReachedOnlyThroughATableGetsATableRoute) {
    const scan::ExecutableImage image = imageOf(reachedThroughATable());
    for (const auto& [place, slot] : {std::pair{0x1000u, 0u}, {0x1040u, 8u}}) {
        const scan::SignatureRoutes routes = scan::findSignatureRoutes(image, place, false);
        ASSERT_FALSE(routes.own);
        EXPECT_FALSE(routes.interior);
        EXPECT_TRUE(routes.references.empty());
        ASSERT_EQ(routes.tables.size(), 1u) << place;
        const scan::TableSignature& route = routes.tables.front().route;
        EXPECT_EQ(scan::notation(route.route.made.signature), "48 8D 05 ?? ?? ?? ??");
        EXPECT_EQ(route.tableRva, 0x2008u);
        EXPECT_EQ(route.slotOffset, slot);
        // Followed as a plug-in would: the one match, where its lea leads, the slot's pointer.
        const BytePattern pattern = route.route.made.signature.pattern();
        const unsigned char* match =
            findPattern(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                        pattern.bytes, pattern.mask, 0);
        ASSERT_NE(match, nullptr);
        const std::uint64_t table = image.relativeTargetRva(image.rvaOf(match), 3, 7);
        std::uint64_t pointer = 0;
        std::memcpy(&pointer, image.bytes.data() + table + route.slotOffset, 8);
        EXPECT_EQ(pointer - image.imageBase, place);
    }
    // A slot whose table nothing addresses offers no route: the pointer at 0x2000 leads to data.
    EXPECT_TRUE(scan::makeTableSignatures(image, 0x2018).empty());
    // The lea addressing G's slot itself, inside the run of code pointers: the table is where
    // its field leads, and the slot at +0 there.
    PeLayout inside = reachedThroughATable();
    put32(inside.sections[0].raw, 0x83, 0x2010 - 0x1087);
    const std::vector<scan::TableSignature> routes =
        scan::makeTableSignatures(imageOf(inside), 0x1040);
    ASSERT_EQ(routes.size(), 1u);
    EXPECT_EQ(routes.front().tableRva, 0x2010u);
    EXPECT_EQ(routes.front().slotOffset, 0u);
}

// Routes no code gives: a function exported by name, and the exception funclets that only their
// parent's exception data names, in either of MSVC's formats of C++ exception data and in a
// structured exception handling scope table. Every funclet is the same code, so none has a
// signature, and nothing refers to any.
TEST(Routes, NamesExportsAndRecognisesExceptionFunclets) {
    const std::string funclet =
        hexBytes("48 89 54 24 10 55 48 83 EC 20 48 8B EA 48 83 C4 20 5D C3");
    std::string code(0x400, '\xCC');
    for (const std::uint32_t at : {0x040u, 0x080u, 0x100u, 0x180u, 0x1C0u, 0x240u}) {
        code.replace(at, funclet.size(), funclet);
    }
    code.replace(0x200, funclet.size(), funclet); // exported
    for (const std::uint32_t at : {0x000u, 0x0C0u, 0x140u}) {
        code.replace(at, 4, hexBytes("48 83 EC 28"));
        code.replace(at + 4, 0x1C, std::string(0x1C, '\x90'));
        code[at + 0x1F] = '\xC3';
    }
    std::string data(0x400, '\0');
    auto put = [&](std::uint32_t rva, std::initializer_list<std::uint32_t> words) {
        std::uint32_t at = rva - 0x2000;
        for (const std::uint32_t word : words) {
            put32(data, at, word);
            at += 4;
        }
    };
    auto bytes = [&](std::uint32_t rva, const std::string& text) {
        data.replace(rva - 0x2000, text.size() / 3 + 1, hexBytes(text));
    };
    // Unwind information: an exception and a termination handler, no codes, the handler's RVA,
    // then its data. P's (0x2000): the RVA of a FuncInfo with its magic number, naming an unwind
    // action (0x1040) and a catch handler (0x1080).
    put(0x2000, {0x19, 0x1300, 0x2100});
    put(0x2100, {0x19930522, 1, 0x2140, 1, 0x2160});
    put(0x2140, {0xFFFFFFFF, 0x1040});
    put(0x2160, {0, 0, 1, 1, 0x2180});
    put(0x2180, {0, 0, 0, 0x1080, 0x38});
    // Q's (0x2020): a scope table whose filter is at 0x1100.
    put(0x2020, {0x09, 0x1300, 1, 0x10C4, 0x10D0, 0x1100, 0x10D0});
    // R's (0x2040): a compressed FuncInfo with an unwind map (an action at 0x11C0) and a try block
    // whose handler is at 0x1180.
    put(0x2040, {0x09, 0x1300, 0x2200});
    bytes(0x2200, "18 60 22 00 00 20 22 00 00");
    bytes(0x2220, "02 00 00 02 40 22 00 00");
    bytes(0x2240, "02 02 00 00 00 00 80 11 00 00");
    bytes(0x2260, "02 06 C0 11 00 00");
    // The export directory (0x2300): one name, GetThing, for 0x1200.
    put(0x2300, {0, 0, 0, 0, 1, 1, 1, 0x2340, 0x2344, 0x2348});
    put(0x2340, {0x1200, 0x2350, 0});
    bytes(0x2350, "47 65 74 54 68 69 6E 67 00");

    std::vector<std::pair<std::uint32_t, std::uint32_t>> extents;
    std::vector<std::uint32_t> unwind;
    for (const std::uint32_t at :
         {0x000u, 0x040u, 0x080u, 0x0C0u, 0x100u, 0x140u, 0x180u, 0x1C0u, 0x240u}) {
        extents.emplace_back(textRva + at, textRva + at + 0x20);
        unwind.push_back(at == 0 ? 0x2000 : at == 0xC0 ? 0x2020 : at == 0x140 ? 0x2040 : 0x2380);
    }
    PeLayout layout{{{".text", textRva, 0x1000, code},
                     {".rdata", 0x2000, 0x1000, data},
                     {".pdata", 0x3000, 0x1000, runtimeFunctions(extents, unwind)}},
                    0x4000};
    layout.exceptions = {0x3000, static_cast<std::uint32_t>(12 * extents.size())};
    layout.exports = {0x2300, 0x60};
    const scan::ExecutableImage image = imageOf(layout);

    const std::pair<std::uint32_t, std::optional<std::uint64_t>> funclets[] = {
        {0x040, 0x1000}, {0x080, 0x1000},       {0x100, 0x10C0},      {0x180, 0x1140},
        {0x1C0, 0x1140}, {0x240, std::nullopt}, {0x000, std::nullopt}};
    for (const auto& [at, parent] : funclets) {
        const scan::SignatureRoutes routes = scan::findSignatureRoutes(image, textRva + at, false);
        EXPECT_EQ(routes.funcletParent, parent) << at;
        EXPECT_FALSE(routes.any() && parent) << at;
    }
    // Every function's exception data read at once names the same funclets, and the build's
    // functions hold them as reached.
    const std::vector<std::uint32_t> named{0x1040, 0x1080, 0x1100, 0x1180, 0x11C0};
    EXPECT_EQ(scan::funcletsOf(image), named);
    const scan::BuildFunctions read = scan::readBuildFunctions(image);
    std::vector<std::uint32_t> held;
    for (const std::uint32_t n : read.funclets) {
        held.push_back(read.functions[n].begin);
    }
    EXPECT_EQ(held, named);
    const scan::SignatureRoutes exported = scan::findSignatureRoutes(image, 0x1200, false);
    EXPECT_FALSE(exported.own);
    EXPECT_EQ(exported.exports, std::vector<std::string>{"GetThing"});
    EXPECT_TRUE(exported.any());
    EXPECT_TRUE(scan::findSignatureRoutes(image, 0x1240, false).exports.empty());
}

} // namespace
