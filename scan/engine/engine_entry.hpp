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

// Where a global that an instruction of the engine patterns' shape refers to lies: its RVA, the
// section holding it (empty when none does), and whether all eight bytes of it lie in the image,
// the plug-in's rule for a global whose value it reads. The one account of it for every command.
struct GlobalPlace {
    std::uint64_t rva = 0;
    std::string section;
    bool insideImage = false;
};
GlobalPlace globalPlaceAt(const ExecutableImage& image, std::uint64_t rva);

// The RVA the plug-in takes the match at matchRva to refer to, by its own rule; empty when the
// instruction there is not of the engine patterns' shape.
std::optional<std::uint64_t> engineReferenceAt(const ExecutableImage& image,
                                               std::uint64_t matchRva);

// Where the match at matchRva leads by the plug-in's rule; empty as engineReferenceAt.
std::optional<GlobalPlace> engineGlobalAt(const ExecutableImage& image, std::uint64_t matchRva);

struct EngineEntry {
    GlobalPlace global;
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
