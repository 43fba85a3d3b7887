#pragma once
// Byte signatures in the notation modders write them: hexadecimal bytes separated by blanks, "?"
// or "??" for any byte ("48 8B 05 ?? ?? ?? 03 48 85 C0"), and in the bytes/mask form of the
// plug-in's pattern table.

#include "pattern/pattern.hpp"
#include "scan/error.hpp"

#include <optional>
#include <string>
#include <string_view>

namespace scan {

// A pattern that owns its bytes and mask ('x' for a fixed byte, '?' for any; zero under '?').
struct Signature {
    std::string bytes;
    std::string mask;

    BytePattern pattern() const { return {bytes.data(), mask.c_str()}; }
    std::size_t length() const { return mask.size(); }
};

// The signature the text writes. A badArgument error, with the reason (naming the offending
// token), when a token is neither two hexadecimal digits nor "?" or "??", when there is no token,
// or when no byte is fixed.
Outcome<Signature> parseSignature(std::string_view text);

// The modder's notation: upper-case hexadecimal, "??" for any byte, one blank between.
std::string notation(const Signature& signature);

// The bytes as a C string literal's contents, as the plug-in's pattern table writes them
// ("\x48\x8B\x05\x00").
std::string escapedBytes(const Signature& signature);

} // namespace scan
