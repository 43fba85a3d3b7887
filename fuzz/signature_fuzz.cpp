// Any text as a signature in the modder's notation: parsing never crashes, a refusal always says
// why, and what is accepted is written back in a notation that reads to the same signature.

#include "scan/signature.hpp"

#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const scan::Outcome<scan::Signature> signature = scan::parseSignature(text);
    if (!signature) {
        if (signature.error().detail.empty()) {
            __builtin_trap();
        }
        return 0;
    }
    if (signature->bytes.size() != signature->mask.size() ||
        signature->mask.find('x') == std::string::npos) {
        __builtin_trap();
    }
    const scan::Outcome<scan::Signature> reread = scan::parseSignature(scan::notation(*signature));
    if (!reread || reread->bytes != signature->bytes || reread->mask != signature->mask) {
        __builtin_trap();
    }
    return 0;
}
