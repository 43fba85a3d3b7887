#pragma once
// Small PE32+ files made in memory, for tests and benchmarks of the executable scan.

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace testing_support::pe {

struct SectionLayout {
    std::string name;
    std::uint32_t virtualAddress;
    std::uint32_t virtualSize;
    std::string raw;
    // Zero: code for ".text", data otherwise.
    std::uint32_t characteristics = 0;
};

// A directory entry of the optional header: where its table lies in the image.
struct Directory {
    std::uint32_t rva = 0;
    std::uint32_t size = 0;
};

struct PeLayout {
    std::vector<SectionLayout> sections;
    std::uint32_t imageSize = 0x4500000;
    std::uint16_t machine = 0x8664;
    std::uint16_t magic = 0x20B;
    std::uint64_t imageBase = 0x140000000;
    Directory exceptions{}; // the exception directory (functions' extents)
    Directory exports{};    // the export directory
    std::uint32_t headersSize = 0x400;
};

inline void put16(std::string& file, std::size_t at, std::uint32_t value) {
    file[at] = static_cast<char>(value & 0xFF);
    file[at + 1] = static_cast<char>((value >> 8) & 0xFF);
}

inline void put32(std::string& file, std::size_t at, std::uint32_t value) {
    put16(file, at, value & 0xFFFF);
    put16(file, at + 2, value >> 16);
}

constexpr std::size_t peHeader = 0x40;
constexpr std::size_t optionalHeader = peHeader + 24;
constexpr std::size_t sectionTable = optionalHeader + 240;
constexpr std::size_t headersSize = 0x400;
constexpr std::uint32_t codeCharacteristics = 0x60000020;
constexpr std::uint32_t dataCharacteristics = 0xC0000040;

// An exception directory's table: each function's begin and end RVA, and its unwind
// information's where given.
inline std::string
runtimeFunctions(const std::vector<std::pair<std::uint32_t, std::uint32_t>>& extents,
                 const std::vector<std::uint32_t>& unwind = {}) {
    std::string table(12 * extents.size(), '\0');
    for (std::size_t n = 0; n < extents.size(); ++n) {
        put32(table, 12 * n, extents[n].first);
        put32(table, 12 * n + 4, extents[n].second);
        put32(table, 12 * n + 8, n < unwind.size() ? unwind[n] : 0);
    }
    return table;
}

// A PE32+ file: DOS stub header, PE header, optional header, section table, raw section data.
inline std::string makePe(const PeLayout& layout) {
    std::string file(headersSize, '\0');
    file[0] = 'M';
    file[1] = 'Z';
    put32(file, 0x3C, peHeader);
    std::memcpy(file.data() + peHeader, "PE\0\0", 4);
    put16(file, peHeader + 4, layout.machine);
    put16(file, peHeader + 6, static_cast<std::uint32_t>(layout.sections.size()));
    put16(file, peHeader + 20, 240);
    put16(file, optionalHeader, layout.magic);
    put32(file, optionalHeader + 24, static_cast<std::uint32_t>(layout.imageBase));
    put32(file, optionalHeader + 28, static_cast<std::uint32_t>(layout.imageBase >> 32));
    put32(file, optionalHeader + 56, layout.imageSize);
    put32(file, optionalHeader + 60, layout.headersSize);
    put32(file, optionalHeader + 108, 16);
    put32(file, optionalHeader + 112, layout.exports.rva);
    put32(file, optionalHeader + 112 + 4, layout.exports.size);
    put32(file, optionalHeader + 112 + 3 * 8, layout.exceptions.rva);
    put32(file, optionalHeader + 112 + 3 * 8 + 4, layout.exceptions.size);
    for (std::size_t n = 0; n < layout.sections.size(); ++n) {
        const SectionLayout& section = layout.sections[n];
        const std::size_t header = sectionTable + 40 * n;
        std::memcpy(file.data() + header, section.name.data(),
                    std::min<std::size_t>(8, section.name.size()));
        put32(file, header + 8, section.virtualSize);
        put32(file, header + 12, section.virtualAddress);
        put32(file, header + 16, static_cast<std::uint32_t>(section.raw.size()));
        put32(file, header + 20, section.raw.empty() ? 0 : static_cast<std::uint32_t>(file.size()));
        put32(file, header + 36,
              section.characteristics != 0 ? section.characteristics
              : section.name == ".text"    ? codeCharacteristics
                                           : dataCharacteristics);
        file += section.raw;
    }
    return file;
}

} // namespace testing_support::pe
