#include "scan/image/code_walk.hpp"

namespace scan {

RegisterSet imageBaseAfter(const ExecutableImage& image, RegisterSet before,
                           const Instruction& instruction) {
    RegisterSet after = static_cast<RegisterSet>(before & ~instruction.writes);
    if (instruction.loadsAddressInto != noRegister && instruction.target == image.imageBase) {
        after |= registerBit(instruction.loadsAddressInto);
    }
    return after;
}

std::uint64_t walkStartFor(const ExecutableImage& image, std::uint64_t through) {
    const std::uint64_t begin = image.codeStartBefore(through);
    return through - begin > walkReach ? through - walkReach : begin;
}

std::vector<CodeStep> walkTo(const ExecutableImage& image, std::uint64_t through) {
    std::uint64_t at = walkStartFor(image, through);
    std::vector<CodeStep> steps;
    RegisterSet imageBase = 0;
    while (at <= through) {
        // Zero fill lies between functions: the code after it holds no image base from before.
        if (const std::size_t fill = image.zeroFillAt(at); fill > 0) {
            at += fill;
            imageBase = 0;
            continue;
        }
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

} // namespace scan
