#pragma once
// How orvelin-scan shows numbers from an executable: offsets, RVAs, header fields.

#include <cstdint>
#include <cstdio>
#include <string>

namespace scan {

// "0x" and upper-case hexadecimal digits, as tools for Windows executables show them.
inline std::string hex(std::uint64_t value) {
    char text[24];
    std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
    return text;
}

} // namespace scan
