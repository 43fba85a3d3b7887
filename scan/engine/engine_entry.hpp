#pragma once
// Whether a signature can serve as one of the plug-in's engine patterns, and what the plug-in
// makes of a match: its pattern must begin with a 7-byte instruction whose 32-bit RIP-relative
// displacement sits at offsets 3 to 6, and it reads that displacement as an unsigned number.

#include "scan/image/image.hpp"
#include "scan/signature/signature.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace scan {

// The RVA the plug-in takes the match at matchRva to refer to, by its own rule; empty when the
// instruction there is not of the engine patterns' shape.
std::optional<std::uint64_t> engineReferenceAt(const ExecutableImage& image,
                                               std::uint64_t matchRva);

struct EngineEntry {
    std::uint64_t globalRva = 0;
    std::string section; // the global's; empty when none holds it
    // The pattern table's entry: the signature with the displacement's top byte fixed, as the
    // table's own patterns have it, so that every match's displacement reads as positive.
    Signature entry;
};

// The signature, matching only at matchRva, as an engine pattern; a notFound error saying why it
// cannot serve as one.
Outcome<EngineEntry> fitAsEnginePattern(const ExecutableImage& image, const Signature& signature,
                                        std::uint64_t matchRva);

// The entry as the plug-in's table writes it: {{"\x48\x8B\x05...", "xxx???x..."}, false}, with
// true where the slot keeps the global's value.
std::string tableEntry(const Signature& entry, bool readsValue = false);

} // namespace scan
