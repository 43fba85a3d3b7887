#include "scan/changes/counterparts.hpp"

#include "scan/update/align.hpp"

#include <algorithm>
#include <cstring>

namespace scan {

namespace {

std::optional<std::uint32_t> holding(const ExecutableImage& image, const StepIndex& steps,
                                     std::uint64_t rva) {
    const auto before = steps.atOrBefore(rva);
    if (!before) {
        return std::nullopt;
    }
    if (before->first == rva) {
        return before->second.function;
    }
    const std::optional<Instruction> instruction = instructionAt(image, before->first);
    if (!instruction || rva >= before->first + instruction->length) {
        return std::nullopt; // past the instruction's end: padding, or no function's code
    }
    return before->second.function;
}

// Read-only data: what a build keeps there is the same where the bytes are.
bool sameConstant(const ExecutableImage& older, std::uint64_t a, const ExecutableImage& newer,
                  std::uint64_t b) {
    constexpr std::uint64_t compared = 16;
    const Section* sa = older.sectionOf(a);
    const Section* sb = newer.sectionOf(b);
    if (sa == nullptr || sb == nullptr || sa->executable || sb->executable || sa->writable ||
        sb->writable) {
        return false;
    }
    const std::uint64_t length =
        std::min({compared, std::uint64_t{sa->virtualAddress} + sa->span - a,
                  std::uint64_t{sb->virtualAddress} + sb->span - b, older.bytes.size() - a,
                  std::uint64_t{newer.bytes.size()} - b});
    return length > 0 && std::memcmp(older.bytes.data() + a, newer.bytes.data() + b, length) == 0;
}

} // namespace

Counterparts::Counterparts(const ExecutableImage& olderImage, const ExecutableImage& newerImage,
                           const BuildMatch& builds)
    : older(olderImage), newer(newerImage), match(builds), olderRead(*builds.olderRead),
      newerRead(*builds.newerRead), olderSteps_(olderRead), newerSteps_(newerRead) {}

std::optional<std::uint32_t> Counterparts::oldFunctionHolding(std::uint64_t rva) const {
    return holding(older, olderSteps_, rva);
}

std::optional<std::uint32_t> Counterparts::newFunctionHolding(std::uint64_t rva) const {
    return holding(newer, newerSteps_, rva);
}

const std::vector<AlignedPair>& Counterparts::alignment(std::uint32_t oldFunction,
                                                        std::uint32_t newFunction) {
    const auto key = std::pair(oldFunction, newFunction);
    auto found = aligned_.find(key);
    if (found == aligned_.end()) {
        found =
            aligned_.emplace(key, alignFunctions(olderRead, oldFunction, newerRead, newFunction))
                .first;
    }
    return found->second;
}

TargetValue Counterparts::target(std::uint64_t oldTarget, std::uint64_t newTarget) {
    TargetValue value{oldTarget, newTarget, std::nullopt, older.inCode(oldTarget)};
    const std::optional<StepIndex::Held> held = olderSteps_.at(oldTarget);
    if (!held) {
        if (sameConstant(older, oldTarget, newer, newTarget)) {
            value.pairedWith = newTarget;
        }
        return value;
    }
    const BuildFunction& function = olderRead.functions[held->function];
    const std::optional<std::uint64_t> partner = match.newFunctionOf(function.begin);
    if (!partner || oldTarget == function.begin) {
        value.pairedWith = partner;
        return value;
    }
    const std::optional<std::uint32_t> newIndex = newerRead.startingAt(*partner);
    if (!newIndex) {
        return value;
    }
    if (const std::optional<std::size_t> counterpart =
            counterpartIn(alignment(held->function, *newIndex), held->step - function.firstStep)) {
        value.pairedWith = newerRead.rvas[newerRead.functions[*newIndex].firstStep + *counterpart];
    }
    return value;
}

} // namespace scan
