#pragma once
// A small game executable made in memory: code holding the plug-in's engine patterns, each
// referring to its global in a large .bss, as the tests of the tool and its library use it.

#include "engine/pattern.hpp"
#include "pe_file.hpp"
#include "scan/image/image.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

namespace testing_support::game {

using namespace testing_support::pe;
using namespace std::string_literals;

constexpr std::uint32_t textAddress = 0x1000;
constexpr std::uint32_t bssAddress = 0x3400000;
inline const std::uint32_t globalAddresses[3] = {0x3400100, 0x4400000, 0x4400010};

// Code holding the engine patterns (those in planted) at 0x100 apart, each referring to its
// global in .bss.
inline std::string engineCode(std::initializer_list<int> planted) {
    std::string code(0x400, '\xCC');
    for (int n : planted) {
        const EnginePattern& pattern = enginePatterns[static_cast<std::size_t>(n)];
        const std::size_t at = 0x100 * static_cast<std::size_t>(n + 1);
        std::memcpy(code.data() + at, pattern.bytes, std::strlen(pattern.mask));
        put32(code, at + 3,
              globalAddresses[n] - (textAddress + static_cast<std::uint32_t>(at) + 7));
    }
    return code;
}

inline PeLayout gameWith(std::initializer_list<int> planted) {
    return {{{".text", textAddress, 0x400, engineCode(planted)},
             {".data", 0x2000, 0x10, std::string(0x200, 'd')},
             {".bss", bssAddress, 0x1100000, ""}}};
}

// Code at .text (0x1000) with a .data section after it, and an exception directory where given.
inline constexpr std::uint32_t textRva = 0x1000;

inline PeLayout layoutOf(const std::string& code, Directory exceptions = {},
                         std::string pdata = "") {
    PeLayout layout{{{".text", textRva, 0x1000, code}, {".data", 0x2000, 0x1000, "d"}}, 0x4000};
    if (!pdata.empty()) {
        layout.sections.push_back({".pdata", 0x3000, 0x1000, std::move(pdata)});
    }
    layout.exceptions = exceptions;
    return layout;
}

// Two functions of the same code, F and G, followed by different bytes; each called once, from
// callers whose instructions after the call differ.
inline PeLayout twoLookAlikes() {
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

// F and G alike and called from nowhere: a virtual table in .rdata holds their addresses after
// a pointer to data (its type information), and one function loads the table's address.
inline PeLayout reachedThroughATable() {
    PeLayout layout = twoLookAlikes();
    std::string& code = layout.sections[0].raw;
    code.replace(0x80, 0x80, std::string(0x80, '\xCC'));
    // lea rax, [rip + 0xF81] (the table at 0x2008); mov [rcx], rax; ret
    code.replace(0x80, 11, "\x48\x8D\x05\x81\x0F\x00\x00\x48\x89\x01\xC3"s);
    std::string table(0x20, '\0');
    for (const auto& [at, rva] : {std::pair{0, 0x2018u}, {8, 0x1000u}, {16, 0x1040u}}) {
        const std::uint64_t address = layout.imageBase + rva;
        std::memcpy(table.data() + at, &address, 8);
    }
    layout.sections[1] = {".rdata", 0x2000, 0x1000, table};
    return layout;
}

// An incrementally linked program: every call goes to a thunk in a table of 20 at the start of
// the code (jmp rel32 each, all alike), and each thunk jumps to its function. F (0x1200) and G
// (0x1240) are alike; F's thunk (0x1000) is called once, from a caller of its own (0x1300). G is
// reached only by a jump at the end of M (0x1340), inside M's code.
inline PeLayout incrementallyLinked() {
    const std::string body = "\x48\x83\xEC\x28\x8B\x44\x24\x30\x48\x83\xC4\x28\xC3"s;
    std::string code(0x400, '\xCC');
    auto jumpFrom = [&](std::uint32_t at, std::uint32_t to) {
        code[at] = '\xE9';
        put32(code, at + 1, to - (at + 5));
    };
    for (std::uint32_t n = 0; n < 20; ++n) {
        jumpFrom(5 * n, n == 0 ? 0x200 : 0x280); // the thunks of F and of H
    }
    code.replace(0x200, body.size(), body); // F
    code.replace(0x240, body.size(), body); // G
    code.replace(0x280, 1, "\xC3"s);        // H
    // F's caller: mov ecx, 7; call F's thunk; add rsp, 0x28; ret
    code.replace(0x300, 15, "\xB9\x07\x00\x00\x00\xE8\x00\x00\x00\x00\x48\x83\xC4\x28\xC3"s);
    put32(code, 0x306, 0x000 - 0x30A);
    // M: test ecx, ecx; jne (rel32) to its last instruction; ret; jmp G, a tail inside its code
    code.replace(0x340, 9, "\x85\xC9\x0F\x85\x01\x00\x00\x00\xC3"s);
    jumpFrom(0x349, 0x240);
    return layoutOf(
        code, {0x3000, 48},
        runtimeFunctions({{0x1200, 0x120D}, {0x1240, 0x124D}, {0x1300, 0x130F}, {0x1340, 0x134E}}));
}

// The layout as the tool lays the file out; a test failure when it cannot.
inline scan::ExecutableImage imageOf(const PeLayout& layout) {
    scan::Outcome<scan::ExecutableImage> image = scan::layOutImage(makePe(layout));
    EXPECT_TRUE(image) << image.error().detail;
    return std::move(*image);
}

// Bytes written as the modder writes them: "48 8B 05".
inline std::string hexBytes(const std::string& text) {
    std::string bytes;
    for (std::size_t at = 0; at + 1 < text.size(); at += 3) {
        bytes += static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16));
    }
    return bytes;
}

// An exception directory's entries at .pdata (0x3000) followed by two unwind records: at 0x3100
// one of a function's own, at 0x3110 one chained to the function [begin, end), whose record is
// the first. Entries name them as unwind 0x3100 and 0x3110.
inline std::string withChainedUnwind(std::string entries, std::uint32_t begin, std::uint32_t end) {
    entries.resize(0x100, '\0');
    entries += hexBytes("01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 21 00 00 00");
    entries += runtimeFunctions({{begin, end}}, {0x3100});
    return entries;
}

// A function of a program: its code, and the 32-bit relative fields in it (calls and RIP-relative
// operands, each its instruction's last four bytes), each naming the function it leads to, or
// "data" for a global in .data.
struct Function {
    std::string name;
    std::string code;
    std::vector<std::pair<std::size_t, std::string>> links = {};
    bool leaf = false; // without an entry in the exception directory
};

inline constexpr std::uint32_t functionSpacing = 0x40;

// Where each function of the program lies: one after the other, functionSpacing apart, after
// `shift` bytes of padding at the start of .text.
inline std::map<std::string, std::uint32_t> placesOf(const std::vector<Function>& functions,
                                                     std::uint32_t shift = 0,
                                                     std::uint32_t spacing = functionSpacing) {
    std::map<std::string, std::uint32_t> places;
    for (std::size_t n = 0; n < functions.size(); ++n) {
        places[functions[n].name] = textRva + shift + spacing * static_cast<std::uint32_t>(n);
    }
    return places;
}

// The program laid out with its exception directory, its links resolved; the global "data" at
// dataRva, in .data.
// Read-only strings a program's links may name, laid out one after the other in .rdata.
using Strings = std::vector<std::pair<std::string, std::string>>;
inline constexpr std::uint32_t rdataRva = 0x4000;

inline PeLayout programOf(const std::vector<Function>& functions, std::uint32_t shift = 0,
                          std::uint32_t dataRva = 0x2100, std::uint32_t spacing = functionSpacing,
                          const Strings& strings = {}) {
    std::map<std::string, std::uint32_t> places = placesOf(functions, shift, spacing);
    places["data"] = dataRva;
    std::string rdata;
    for (const auto& [name, text] : strings) {
        places[name] = rdataRva + static_cast<std::uint32_t>(rdata.size());
        rdata += text + '\0';
    }
    std::string code(0x1000, '\xCC');
    std::vector<std::pair<std::uint32_t, std::uint32_t>> extents;
    for (const Function& function : functions) {
        const std::uint32_t at = places[function.name];
        std::string body = function.code;
        for (const auto& [field, target] : function.links) {
            put32(body, field, places.at(target) - (at + static_cast<std::uint32_t>(field) + 4));
        }
        code.replace(at - textRva, body.size(), body);
        if (!function.leaf) {
            extents.emplace_back(at, at + static_cast<std::uint32_t>(body.size()));
        }
    }
    PeLayout layout = layoutOf(code, {0x3000, static_cast<std::uint32_t>(12 * extents.size())},
                               runtimeFunctions(extents));
    if (!strings.empty()) {
        layout.sections.push_back({".rdata", rdataRva, 0x1000, rdata, 0x40000040});
        layout.imageSize = rdataRva + 0x1000;
    }
    return layout;
}

// F loads a global and calls H; C1 and C2 call F (C2 the function named secondCallee); A and G
// are its neighbours. The start of F can be changed.
inline const std::string prologue = "48 89 5C 24 08 57 48 83 EC 20 ";      // mov [rsp+8], rbx ...
inline const std::string otherPrologue = "48 89 74 24 08 57 48 83 EC 20 "; // ... rsi instead
inline const std::string loaderBody =
    "48 8B F9 48 8B 05 00 00 00 00 48 8B 58 10 48 8B CB E8 00 00 00 00 "
    "48 89 47 18 48 8B 5C 24 30 48 83 C4 20 5F C3";

inline Function loaderOfTheGlobal(const std::string& name, const std::string& start = prologue) {
    return {name, hexBytes(start + loaderBody), {{16, "data"}, {28, "H"}}};
}

inline Function caller(const std::string& name, const std::string& callee, bool second) {
    return second
               ? Function{name,
                          hexBytes("56 48 83 EC 20 8B F1 E8 00 00 00 00 8B C6 48 83 C4 20 5E C3"),
                          {{8, callee}}}
               : Function{name,
                          hexBytes("48 83 EC 28 48 8B CA E8 00 00 00 00 48 83 C4 28 C3"),
                          {{8, callee}}};
}

inline std::vector<Function> callersProgram(const std::string& start = prologue,
                                            const std::string& secondCallee = "F") {
    return {
        {"A",
         hexBytes("40 53 48 83 EC 20 8B D9 E8 00 00 00 00 8B C3 48 83 C4 20 5B C3"),
         {{9, "H"}}},
        loaderOfTheGlobal("F", start),
        {"G", hexBytes("48 83 EC 28 B9 05 00 00 00 E8 00 00 00 00 48 83 C4 28 C3"), {{10, "H"}}},
        caller("C1", "F", false),
        caller("C2", secondCallee, true),
        {"H", hexBytes("8B C1 0F AF C0 C3")}};
}

// callersProgram's F in a new build: mov rcx, rbx removed, xor edx, edx inserted after the call,
// and the structure offset it loads from, [rax + 0x10], moved to [rax + 0x18].
inline std::vector<Function> callersProgramRecompiled() {
    std::vector<Function> program = callersProgram();
    program[1] = {"F",
                  hexBytes(prologue + "48 8B F9 48 8B 05 00 00 00 00 48 8B 58 18 E8 00 00 00 00 "
                                      "33 D2 48 89 47 18 48 8B 5C 24 30 48 83 C4 20 5F C3"),
                  {{16, "data"}, {25, "H"}}};
    return program;
}

} // namespace testing_support::game
