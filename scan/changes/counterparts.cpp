#include "scan/changes/counterparts.hpp"

#include "scan/update/align.hpp"

#include <algorithm>
#include <cstring>

namespace scan {

namespace {

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
      newerRead(*builds.newerRead) {}

std::optional<std::uint32_t> Counterparts::oldFunctionHolding(std::uint64_t rva) const {
    const std::optional<Held> held = olderRead.stepHolding(rva);
    return held ? std::optional(held->function) : std::nullopt;
}

std::optional<std::uint32_t> Counterparts::newFunctionHolding(std::uint64_t rva) const {
    const std::optional<Held> held = newerRead.stepHolding(rva);
    return held ? std::optional(held->function) : std::nullopt;
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
    const std::optional<Held> held = olderRead.stepAt(oldTarget);
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
        value.pairedWith = newerRead.rvaOf(newerRead.functions[*newIndex].firstStep + *counterpart);
    }
    return value;
}

} // namespace scan
