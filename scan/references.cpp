#include "scan/references.hpp"

#include "scan/instructions.hpp"

#include <algorithm>
#include <cstring>

namespace scan {

namespace {

std::int32_t signed32(const unsigned char* at) {
    std::int32_t value;
    std::memcpy(&value, at, sizeof(value));
    return value;
}

// Bytes of an instruction before its relative field at most: prefixes, REX, a three-byte opcode,
// ModRM and SIB.
constexpr std::size_t mostBeforeField = 10;

} // namespace

std::vector<Reference> findReferences(const ExecutableImage& image, std::uint64_t place) {
    std::vector<Reference> references;
    const unsigned char* bytes = image.bytes.data();
    for (const Section& section : image.sections) {
        if (!section.executable || section.span < 4) {
            continue;
        }
        const std::uint64_t begin = section.virtualAddress;
        const std::uint64_t end = begin + section.span;
        for (std::uint64_t field = begin; field + 4 <= end; ++field) {
            // The field's instruction ends 0, 1, 2 or 4 bytes after it (an immediate may follow
            // a displacement): only then can it lead to the place.
            const auto after = static_cast<std::int64_t>(place) -
                               static_cast<std::int64_t>(field + 4) - signed32(bytes + field);
            if (after != 0 && after != 1 && after != 2 && after != 4) {
                continue;
            }
            for (std::size_t before = 1; before <= mostBeforeField && before <= field - begin;
                 ++before) {
                const std::uint64_t at = field - before;
                const std::optional<Instruction> instruction = decodeInstruction(
                    bytes + at, static_cast<std::size_t>(std::min<std::uint64_t>(15, end - at)),
                    image.imageBase + at);
                const InstructionField* relative =
                    instruction ? instruction->relativeField() : nullptr;
                if (relative != nullptr && relative->offset == before && relative->size == 4 &&
                    instruction->target == image.imageBase + place) {
                    references.push_back(
                        {at, instruction->length, before, instruction->branch, instruction->text});
                    break;
                }
            }
        }
    }
    return references;
}

std::uint64_t referencedRva(const ExecutableImage& image, std::uint64_t instructionRva,
                            std::size_t length, std::size_t fieldOffset) {
    return instructionRva + length +
           static_cast<std::uint64_t>(static_cast<std::int64_t>(
               signed32(image.bytes.data() + instructionRva + fieldOffset)));
}

} // namespace scan
