#include "scan/image/function_map.hpp"

#include "scan/image/code_walk.hpp"
#include "scan/image/instructions.hpp"

#include <algorithm>
#include <iterator>
#include <string_view>

namespace scan {

namespace {

bool isInt3(const ExecutableImage& image, std::uint64_t at) {
    return at < image.bytes.size() && image.bytes[at] == 0xCC;
}

bool isPadding(const Instruction& instruction) {
    const std::string_view text = instruction.text;
    return text.starts_with("nop") || text.starts_with("int3");
}

// The flow does not go on to the next instruction: a return or an unconditional jump.
bool endsFlow(const Instruction& instruction) {
    const std::string_view text = instruction.text;
    for (const std::string_view prefix :
         {"ret", "jmp ", "rep ret", "repz ret", "bnd ret", "bnd jmp ", "notrack jmp "}) {
        if (text.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

// The function the exception directory lists that ends at `end`, if any.
const FunctionExtent* entryEndingAt(const ExecutableImage& image, std::uint64_t end) {
    const auto after = std::upper_bound(
        image.functions.begin(), image.functions.end(), end - 1,
        [](std::uint64_t at, const FunctionExtent& function) { return at < function.begin; });
    return after != image.functions.begin() && std::prev(after)->end == end ? &*std::prev(after)
                                                                            : nullptr;
}

std::uint64_t sectionEnd(const ExecutableImage& image, std::uint64_t rva) {
    const Section* section = image.sectionOf(rva);
    return section != nullptr ? std::uint64_t{section->virtualAddress} + section->span
                              : image.bytes.size();
}

} // namespace

std::size_t paddingAt(const ExecutableImage& image, std::uint64_t at) {
    if (at >= image.bytes.size()) {
        return 0;
    }
    const unsigned char first = image.bytes[at];
    if (first == 0xCC || first == 0x90) {
        return 1;
    }
    // Only prefixed or 0F-escaped bytes can begin a multi-byte nop: decode only those.
    if (first != 0x66 && first != 0x2E && first != 0x0F) {
        return 0;
    }
    const std::optional<Instruction> instruction = instructionAt(image, at);
    return instruction && isPadding(*instruction) ? instruction->length : 0;
}

std::uint64_t functionStartOf(const ExecutableImage& image, std::uint64_t rva) {
    if (const std::optional<FunctionExtent> function = image.functionAt(rva)) {
        return function->begin;
    }
    const std::uint64_t from = walkStartFor(image, rva);
    std::optional<std::uint64_t> start;
    bool boundary = true; // the next code begins a function
    bool ended = false;   // the last instruction that was no padding ends the flow
    for (std::uint64_t at = from; at <= rva;) {
        if (const std::size_t fill = image.zeroFillAt(at); fill > 0) {
            boundary = true;
            at += fill;
            continue;
        }
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            break;
        }
        if (isPadding(*instruction)) {
            boundary = boundary || ended || isInt3(image, at);
        } else {
            if (boundary) {
                start = at;
                boundary = false;
            }
            ended = endsFlow(*instruction);
        }
        at += instruction->length;
    }
    if (start) {
        return *start;
    }
    // Only padding from the function the directory knows before it.
    if (const FunctionExtent* before = entryEndingAt(image, from)) {
        return before->begin;
    }
    return from;
}

std::uint64_t functionEndOf(const ExecutableImage& image, std::uint64_t start) {
    if (const std::optional<FunctionExtent> function = image.functionAt(start)) {
        return function->end;
    }
    return walkLeafFunction(image, start, {});
}

std::uint64_t walkLeafFunction(const ExecutableImage& image, std::uint64_t start,
                               const LeafStep& each) {
    const std::uint64_t limit = image.codeEndAfter(start);
    bool resumed = false;
    for (std::uint64_t at = start; at < limit;) {
        if (isInt3(image, at) || image.zeroFillAt(at) > 0) {
            return at;
        }
        const std::optional<Instruction> instruction = instructionAt(image, at, limit);
        if (!instruction) {
            return at;
        }
        if (each && !each(at, *instruction, resumed)) {
            return at;
        }
        at += instruction->length;
        resumed = endsFlow(*instruction);
        if (resumed && (at >= limit || paddingAt(image, at) > 0)) {
            return at;
        }
    }
    return limit;
}

FunctionExtent functionOf(const ExecutableImage& image, std::uint64_t rva) {
    const std::uint64_t start = functionStartOf(image, rva);
    return {static_cast<std::uint32_t>(start),
            static_cast<std::uint32_t>(functionEndOf(image, start))};
}

bool withinOneFunction(const ExecutableImage& image, std::uint64_t begin, std::uint64_t end) {
    const FunctionExtent function = functionOf(image, begin);
    return begin >= function.begin && begin < end && end <= function.end;
}

std::optional<std::uint64_t> nextFunctionStart(const ExecutableImage& image, std::uint64_t start) {
    std::uint64_t at = functionEndOf(image, start);
    const std::uint64_t limit = sectionEnd(image, start);
    for (std::size_t length = 0;
         at < limit && (length = std::max(paddingAt(image, at), image.zeroFillAt(at))) > 0;) {
        at += length;
    }
    return at < limit ? std::optional(at) : std::nullopt;
}

std::optional<std::uint64_t> previousFunctionStart(const ExecutableImage& image,
                                                   std::uint64_t start) {
    const Section* section = image.sectionOf(start);
    const std::uint64_t floor = section != nullptr ? section->virtualAddress : 0;
    if (start <= floor) {
        return std::nullopt;
    }
    const std::uint64_t before = functionStartOf(image, start - 1);
    if (before >= start || paddingAt(image, before) > 0 || image.zeroFillAt(before) > 0) {
        return std::nullopt;
    }
    return before;
}

bool isJumpThunk(const ExecutableImage& image, std::uint64_t rva) {
    const Section* section = image.sectionOf(rva);
    if (section == nullptr || !section->executable || rva + 5 > image.bytes.size() ||
        image.bytes[rva] != 0xE9) {
        return false;
    }
    if (const std::optional<FunctionExtent> function = image.functionAt(rva)) {
        return function->begin == rva;
    }
    const std::uint64_t into = rva - section->virtualAddress;
    return functionStartOf(image, rva) == rva || (into >= 5 && image.bytes[rva - 5] == 0xE9);
}

} // namespace scan
