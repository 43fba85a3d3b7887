#include "scan/engine_entry.hpp"

#include "engine/pattern.hpp"
#include "scan/hex.hpp"
#include "scan/instructions.hpp"

namespace scan {

namespace {

constexpr std::size_t engineInstructionLength = 7;
constexpr std::size_t displacementAt = 3;
constexpr std::size_t displacementTop = 6;

} // namespace

std::optional<std::uint64_t> engineReferenceAt(const ExecutableImage& image,
                                               std::uint64_t matchRva) {
    const std::uint64_t size = image.bytes.size();
    if (matchRva >= size || size - matchRva < engineInstructionLength) {
        return std::nullopt;
    }
    const unsigned char* match = image.bytes.data() + matchRva;
    const std::optional<Instruction> instruction = instructionAt(image, matchRva);
    const InstructionField* relative = instruction ? instruction->relativeField() : nullptr;
    if (relative == nullptr || instruction->branch ||
        instruction->length != engineInstructionLength || relative->offset != displacementAt ||
        relative->size != 4) {
        return std::nullopt;
    }
    return referencedLocation(match) - reinterpret_cast<std::uintptr_t>(image.bytes.data());
}

EnginePatternFit fitAsEnginePattern(const ExecutableImage& image, const Signature& signature,
                                    std::uint64_t matchRva) {
    EnginePatternFit fit;
    const std::optional<std::uint64_t> global = engineReferenceAt(image, matchRva);
    if (!global || signature.length() < engineInstructionLength) {
        fit.why = "its first instruction is not 7 bytes long with a RIP-relative 32-bit "
                  "displacement at offsets 3 to 6";
        return fit;
    }
    const unsigned char top = image.bytes[matchRva + displacementTop];
    if (top >= 0x80) {
        fit.why = "its global lies before the instruction, and the plug-in reads the "
                  "displacement as an unsigned number";
        return fit;
    }
    fit.globalRva = *global;
    if (!insideImage(image.bytes.data(), image.bytes.size(),
                     reinterpret_cast<std::uintptr_t>(image.bytes.data()) + *global,
                     sizeof(std::uint64_t))) {
        fit.why = "its global at RVA " + hex(*global) + " lies outside the image";
        return fit;
    }
    fit.usable = true;
    fit.section = image.sectionAt(*global);
    fit.entry = signature;
    fit.entry.bytes[displacementTop] = static_cast<char>(top);
    fit.entry.mask[displacementTop] = 'x';
    return fit;
}

std::string tableEntry(const Signature& entry) {
    return "{{\"" + escapedBytes(entry) + "\", \"" + entry.mask + "\"}, false}";
}

} // namespace scan
