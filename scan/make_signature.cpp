#include "scan/make_signature.hpp"

#include "scan/hex.hpp"
#include "scan/instructions.hpp"

#include <algorithm>

namespace scan {

namespace {

// The field's bytes change when the executable is linked again or its globals move.
bool changesWithTheLink(const InstructionField& field, const ExecutableImage& image) {
    if (field.kind == InstructionField::Kind::relative) {
        return true;
    }
    // Only fields wide enough to hold an address can be one.
    const auto value = static_cast<std::uint64_t>(field.value);
    return field.size >= 4 && value >= image.imageBase &&
           value - image.imageBase < image.bytes.size();
}

} // namespace

std::optional<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva,
                                           std::string& why) {
    const std::uint64_t size = image.bytes.size();
    MadeSignature made;
    for (std::uint64_t at = rva; at < size;) {
        const std::optional<Instruction> instruction = decodeInstruction(
            image.bytes.data() + at,
            static_cast<std::size_t>(std::min<std::uint64_t>(15, size - at)), image.imageBase + at);
        if (!instruction) {
            why = "no instruction can be decoded at RVA " + hex(at);
            return std::nullopt;
        }
        if (made.signature.length() + instruction->length > longestSignature) {
            break;
        }
        std::string mask(instruction->length, 'x');
        std::string bytes(reinterpret_cast<const char*>(image.bytes.data() + at),
                          instruction->length);
        for (const InstructionField& field : instruction->fields) {
            if (changesWithTheLink(field, image)) {
                std::fill_n(mask.begin() + static_cast<std::ptrdiff_t>(field.offset), field.size,
                            '?');
                std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(field.offset), field.size,
                            '\0');
            }
        }
        made.signature.bytes += bytes;
        made.signature.mask += mask;
        made.instructions.push_back(instruction->text);
        at += instruction->length;
        if (made.signature.mask.find('x') != std::string::npos) {
            const BytePattern pattern = made.signature.pattern();
            PatternMatches matches;
            countMatches(image.bytes.data(), static_cast<std::uint32_t>(size),
                         std::span(&pattern, 1), std::span(&matches, 1), 0, 2);
            if (matches.count == 1) {
                return made;
            }
        }
    }
    why = "no signature of whole instructions starting at RVA " + hex(rva) + " within " +
          std::to_string(longestSignature) + " bytes matches only once";
    return std::nullopt;
}

} // namespace scan
