#include "scan/image_base.hpp"

namespace scan {

RegisterSet imageBaseAfter(const ExecutableImage& image, RegisterSet before,
                           const Instruction& instruction) {
    RegisterSet after = static_cast<RegisterSet>(before & ~instruction.writes);
    if (instruction.loadsAddressInto != noRegister && instruction.target == image.imageBase) {
        after |= registerBit(instruction.loadsAddressInto);
    }
    return after;
}

std::vector<CodeStep> walkTo(const ExecutableImage& image, std::uint64_t through) {
    const std::uint64_t begin = image.codeStartBefore(through);
    std::uint64_t at = through - begin > walkReach ? through - walkReach : begin;
    std::vector<CodeStep> steps;
    RegisterSet imageBase = 0;
    while (at <= through) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            return {};
        }
        steps.push_back({at, instruction->length, imageBase});
        if (at == through) {
            return steps;
        }
        imageBase = imageBaseAfter(image, imageBase, *instruction);
        at += instruction->length;
    }
    return {};
}

RegisterSet imageBaseAt(const ExecutableImage& image, std::uint64_t rva) {
    const std::vector<CodeStep> steps = walkTo(image, rva);
    return steps.empty() ? RegisterSet{0} : steps.back().imageBase;
}

bool isPadding(const ExecutableImage& image, std::uint64_t at) {
    return image.bytes[at] == 0xCC || image.bytes[at] == 0x90;
}

std::uint64_t functionStartOf(const ExecutableImage& image, std::uint64_t rva) {
    if (const std::optional<FunctionExtent> function = image.functionAt(rva)) {
        return function->begin;
    }
    // A leaf function: walked from the code start before it, to the instruction holding rva.
    const std::uint64_t begin = image.codeStartBefore(rva);
    std::uint64_t start = rva - begin > walkReach ? rva - walkReach : begin;
    bool afterPadding = true;
    for (std::uint64_t at = start; at <= rva;) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            break;
        }
        const bool padding = instruction->length == 1 && isPadding(image, at);
        if (afterPadding && !padding) {
            start = at;
        }
        afterPadding = padding;
        at += instruction->length;
    }
    return start;
}

std::optional<std::uint64_t> nextFunctionStart(const ExecutableImage& image, std::uint64_t start) {
    std::uint64_t end = image.codeEndAfter(start);
    if (!image.functionAt(start)) {
        // A leaf function ends where padding begins.
        for (std::uint64_t at = start; at < end;) {
            const std::optional<Instruction> instruction = instructionAt(image, at, end);
            if (!instruction) {
                return std::nullopt;
            }
            if (instruction->length == 1 && isPadding(image, at)) {
                end = at;
                break;
            }
            at += instruction->length;
        }
    }
    const Section* section = image.sectionOf(start);
    const std::uint64_t limit = section != nullptr
                                    ? std::uint64_t{section->virtualAddress} + section->span
                                    : image.bytes.size();
    while (end < limit && isPadding(image, end)) {
        ++end;
    }
    return end < limit ? std::optional(end) : std::nullopt;
}

std::optional<std::uint64_t> previousFunctionStart(const ExecutableImage& image,
                                                   std::uint64_t start) {
    const Section* section = image.sectionOf(start);
    const std::uint64_t floor = section != nullptr ? section->virtualAddress : 0;
    std::uint64_t end = start;
    while (end > floor && isPadding(image, end - 1)) {
        --end;
    }
    if (end == floor) {
        return std::nullopt;
    }
    return functionStartOf(image, end - 1);
}

} // namespace scan
