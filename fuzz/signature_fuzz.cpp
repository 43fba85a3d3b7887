// Any text as a signature in the modder's notation: parsing never crashes, a refusal always says
// why, and what is accepted is written back in a notation that reads to the same signature. The
// same text as an update's pattern table: refused in one line that names why, or every entry
// named, with a signature that reads back to itself.

#include "scan/signature/signature.hpp"
#include "scan/update/update.hpp"

#include <cstdint>
#include <string_view>

namespace {

void checkTable(std::string_view text) {
    const scan::Outcome<std::vector<scan::TableEntry>> table = scan::parsePatternTable(text);
    if (!table) {
        const std::string& why = table.error().detail;
        if (why.empty() || why.find('\n') != std::string::npos ||
            table.error().kind != scan::Error::Kind::badArgument) {
            __builtin_trap();
        }
        return;
    }
    for (const scan::TableEntry& entry : *table) {
        const scan::Outcome<scan::Signature> reread = scan::parseSignature(entry.text);
        if (entry.name.empty() || !reread || reread->mask != entry.signature.mask ||
            reread->bytes != entry.signature.bytes) {
            __builtin_trap();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    checkTable(text);
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
