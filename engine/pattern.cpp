#include "engine/pattern.hpp"

#include "pattern/relative.hpp"

#include <algorithm>

// A load of a global followed by a test and a long conditional jump; a load of a global's address
// followed by three calls; a load of a global followed by a test and a short conditional jump.
// The zero bytes under '?' are placeholders.
const std::array<EnginePattern, 3> enginePatterns = {{
    {{"\x48\x8B\x05\x00\x00\x00\x03\x48\x85\xC0\x0F\x85\xB0", "xxx???xxxxxxx"}, true},
    {{"\x48\x8D\x0D\x00\x00\x00\x04\xE8\x00\x00\x00\x00\xE8\x00\x00\x00\x00\xE8\x00\x00\x00\x01",
      "xxx???xx???xx???xx???x"},
     false},
    {{"\x48\x8B\x1D\x00\x00\x00\x04\x48\x85\xDB\x74\x3B", "xxx???xxxxxx"}, false},
}};

const std::array<BytePattern, 3> engineBytePatterns = {enginePatterns[0], enginePatterns[1],
                                                       enginePatterns[2]};

std::uintptr_t referencedLocation(const unsigned char* match) {
    return relativeTarget(match, engineFieldOffset, engineInstructionLength,
                          FieldReading::asUnsigned);
}

bool insideImage(const unsigned char* image, std::uint64_t size, std::uintptr_t location,
                 std::uint64_t count) {
    // Below the image the difference wraps round to a number far beyond any image's size.
    const std::uint64_t at = location - reinterpret_cast<std::uintptr_t>(image);
    return at <= size && count <= size - at;
}

bool globalInImage(const unsigned char* image, std::uint64_t size, std::uintptr_t location) {
    return insideImage(image, size, location, sizeof(std::uint64_t));
}

EngineReferences findEngineReferences(const unsigned char* image, std::uint32_t size) {
    const std::array<BytePattern, 3>& patterns = engineBytePatterns;
    std::array<const unsigned char*, enginePatterns.size()> firsts{};
    findPatterns(image, size, patterns, firsts);
    EngineReferences references;
    for (std::size_t n = 0; n < patterns.size(); ++n) {
        const unsigned char* match = firsts[n];
        const auto* table = reinterpret_cast<const unsigned char*>(patterns[n].bytes);
        if (match == table) {
            // The scanning code lies inside the image: look on past the pattern's own table.
            const auto rest = static_cast<std::uint32_t>(image + size - (table + 1));
            match = findPattern(table + 1, rest, patterns[n].bytes, patterns[n].mask, 0);
        }
        if (match != nullptr) {
            references[n] = EngineReference{match, referencedLocation(match)};
        }
    }
    return references;
}
