#pragma once
// A small game executable made in memory: code holding the plug-in's engine patterns, each
// referring to its global in a large .bss, as the tests of the tool and its library use it.

#include "engine/pattern.hpp"
#include "pe_file.hpp"

#include <cstring>
#include <initializer_list>
#include <string>

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

} // namespace testing_support::game
