#include "scan/signature/signature.hpp"

#include <cstdio>

namespace scan {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool blank(char c) {
    return c == ' ' || c == '\t';
}

// A token as it can be shown on one line: control characters and bytes beyond ASCII escaped.
std::string shown(std::string_view token) {
    std::string text;
    for (const char c : token) {
        if (c >= 0x20 && c < 0x7F) {
            text += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\x%02X", static_cast<unsigned char>(c));
            text += escaped;
        }
    }
    return text;
}

} // namespace

Outcome<Signature> parseSignature(std::string_view text) {
    auto refused = [](std::string why) { return Error{Error::Kind::badArgument, std::move(why)}; };
    Signature signature;
    std::size_t at = 0;
    while (at < text.size()) {
        if (blank(text[at])) {
            ++at;
            continue;
        }
        std::size_t end = at;
        while (end < text.size() && !blank(text[end])) {
            ++end;
        }
        const std::string_view token = text.substr(at, end - at);
        if (token == "?" || token == "??") {
            signature.bytes += '\0';
            signature.mask += '?';
        } else if (token.size() == 2 && hexDigit(token[0]) >= 0 && hexDigit(token[1]) >= 0) {
            signature.bytes += static_cast<char>(hexDigit(token[0]) * 16 + hexDigit(token[1]));
            signature.mask += 'x';
        } else {
            return refused(
                "'" + shown(token) + "' (token " + std::to_string(signature.length() + 1) +
                ") is not a byte: write two hexadecimal digits, or ? or ?? for any byte");
        }
        at = end;
    }
    if (signature.length() == 0) {
        return refused("the signature is empty");
    }
    if (signature.mask.find('x') == std::string::npos) {
        return refused("the signature fixes no byte, so it matches everywhere");
    }
    return signature;
}

std::string notation(const Signature& signature) {
    std::string text;
    for (std::size_t j = 0; j < signature.length(); ++j) {
        if (j != 0) {
            text += ' ';
        }
        if (signature.mask[j] == 'x') {
            char byte[4];
            std::snprintf(byte, sizeof(byte), "%02X",
                          static_cast<unsigned char>(signature.bytes[j]));
            text += byte;
        } else {
            text += "??";
        }
    }
    return text;
}

std::string escapedBytes(const Signature& signature) {
    std::string text;
    for (const char c : signature.bytes) {
        char byte[8];
        std::snprintf(byte, sizeof(byte), "\\x%02X", static_cast<unsigned char>(c));
        text += byte;
    }
    return text;
}

} // namespace scan
