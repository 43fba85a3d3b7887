#include "scan/match/wrappers.hpp"

namespace scan {

namespace {

// The one function a function of at most `longest` instructions leads to alone, or unpaired.
std::uint32_t leadsOn(const BuildFunctions& build, std::uint32_t n, std::uint32_t longest) {
    const BuildFunction& function = build.functions[n];
    if (function.steps > longest) {
        return unpaired;
    }
    std::uint32_t target = unpaired;
    for (const Link& link : build.linksOf(function)) {
        if (link.function == n || (target != unpaired && target != link.function)) {
            return unpaired;
        }
        target = link.function;
    }
    return target;
}

// The one function a wrapper leads to, or unpaired where the function is no wrapper. A wrapper does
// something before it leads on (it passes an argument the body gained): a bare jump is a
// linker's, and stands for the body itself.
std::uint32_t wrapped(const BuildFunctions& build, std::uint32_t n, std::uint32_t longest) {
    return build.functions[n].steps < 2 ? unpaired : leadsOn(build, n, longest);
}

constexpr std::uint32_t several = unpaired - 1;

struct Wrappers {
    std::vector<std::uint32_t> of; // per function, its one wrapper, unpaired for none, or several
    std::vector<bool> isWrapper;
    std::vector<bool> reached; // an instruction, a table or an exception's data leads to it
};

Wrappers wrappersOf(const BuildFunctions& build, std::uint32_t longest) {
    const std::size_t size = build.functions.size();
    Wrappers found{std::vector<std::uint32_t>(size, unpaired), std::vector<bool>(size, false),
                   std::vector<bool>(size, false)};
    for (const Link& link : build.links) {
        found.reached[link.function] = true;
    }
    for (const std::uint32_t funclet : build.funclets) {
        found.reached[funclet] = true;
    }
    for (const auto& [at, slots] : build.tables) {
        for (const std::uint32_t slot : slots) {
            if (slot != 0) {
                found.reached[slot - 1] = true;
            }
        }
    }
    for (std::uint32_t n = 0; n < size; ++n) {
        const std::uint32_t target = wrapped(build, n, longest);
        if (target != unpaired) {
            found.isWrapper[n] = true;
            found.of[target] = found.of[target] == unpaired ? n : several;
        }
    }
    return found;
}

} // namespace

std::vector<std::uint32_t> leadsOnTo(const BuildFunctions& build, std::uint32_t longest) {
    std::vector<std::uint32_t> to(build.functions.size());
    for (std::uint32_t n = 0; n < build.functions.size(); ++n) {
        to[n] = leadsOn(build, n, longest);
    }
    return to;
}

std::vector<std::pair<std::uint32_t, std::uint32_t>>
entriesMovedToWrappers(const Pairing& pairing) {
    const std::uint32_t longest = pairing.policy().longestWrapper;
    const Wrappers older = wrappersOf(pairing.older(), longest);
    const Wrappers newer = wrappersOf(pairing.newer(), longest);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> moved;
    for (std::uint32_t from = 0; from < pairing.older().functions.size(); ++from) {
        const std::uint32_t body = pairing.newOf(from);
        if (body == unpaired || older.isWrapper[from] || older.of[from] != unpaired ||
            newer.of[body] >= several) {
            continue;
        }
        const BuildFunction& before = pairing.older().functions[from];
        const BuildFunction& after = pairing.newer().functions[body];
        const std::uint32_t wrapper = newer.of[body];
        // The same code, or a body that shrank, is the old function itself with a new way in;
        // a body that grew took in what the old function did, and the old entry is the wrapper.
        // One the new build's own code calls is no entry kept for callers outside it.
        if (before.shape != after.shape && after.steps >= before.steps &&
            !pairing.paired(1, wrapper) && !newer.reached[wrapper]) {
            moved.emplace_back(from, wrapper);
        }
    }
    return moved;
}

} // namespace scan
