#include "scan/engine/engine_entry.hpp"

#include "engine/pattern.hpp"
#include "scan/hex.hpp"
#include "scan/image/instructions.hpp"

namespace scan {

namespace {

// The displacement's most significant byte, which the table's entries fix.
constexpr std::size_t displacementTop = engineFieldOffset + 3;

} // namespace

std::optional<std::uint64_t> engineReferenceAt(const ExecutableImage& image,
                                               std::uint64_t matchRva) {
    const std::optional<Instruction> instruction = instructionAt(image, matchRva);
    const InstructionField* relative = instruction ? instruction->relativeField() : nullptr;
    if (relative == nullptr || instruction->branch ||
        instruction->length != engineInstructionLength || relative->offset != engineFieldOffset ||
        relative->size != 4) {
        return std::nullopt;
    }
    return image.relativeTargetRva(matchRva, engineFieldOffset, engineInstructionLength,
                                   FieldReading::asUnsigned);
}

Outcome<EngineEntry> fitAsEnginePattern(const ExecutableImage& image, const Signature& signature,
                                        std::uint64_t matchRva) {
    auto unusable = [](std::string why) { return Error{Error::Kind::notFound, std::move(why)}; };
    const std::optional<std::uint64_t> global = engineReferenceAt(image, matchRva);
    if (!global || signature.length() < engineInstructionLength) {
        return unusable("its first instruction is not 7 bytes long with a RIP-relative 32-bit "
                        "displacement at offsets 3 to 6");
    }
    const unsigned char top = image.bytes[matchRva + displacementTop];
    if (top >= 0x80) {
        return unusable("its global lies before the instruction, and the plug-in reads the "
                        "displacement as an unsigned number");
    }
    if (!image.holdsGlobal(*global)) {
        return unusable("its global at RVA " + hex(*global) + " lies outside the image");
    }
    EngineEntry fit;
    fit.global = globalPlaceAt(image, *global);
    fit.entry = signature;
    fit.entry.bytes[displacementTop] = static_cast<char>(top);
    fit.entry.mask[displacementTop] = 'x';
    return fit;
}

GlobalPlace globalPlaceAt(const ExecutableImage& image, std::uint64_t rva) {
    return {rva, image.sectionAt(rva), image.holdsGlobal(rva)};
}

std::optional<GlobalPlace> engineGlobalAt(const ExecutableImage& image, std::uint64_t matchRva) {
    const std::optional<std::uint64_t> global = engineReferenceAt(image, matchRva);
    return global ? std::optional(globalPlaceAt(image, *global)) : std::nullopt;
}

std::string tableEntry(const Signature& entry, bool readsValue) {
    return "{{\"" + escapedBytes(entry) + "\", \"" + entry.mask + "\"}, " +
           (readsValue ? "true" : "false") + "}";
}

} // namespace scan
