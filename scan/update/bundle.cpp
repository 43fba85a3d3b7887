#include "scan/update/bundle.hpp"

#include <algorithm>
#include <map>

namespace scan {

namespace {

Anchor routeAnchor(Anchor::Kind kind, const ReferenceSignature& route) {
    Anchor anchor;
    anchor.kind = kind;
    anchor.made = route.made;
    anchor.instructionOffset = route.instructionOffset;
    anchor.length = route.reference.length;
    anchor.fieldOffset = route.reference.fieldOffset;
    return anchor;
}

// The start of the function whose instructions, as the build was read, hold rva.
std::optional<std::uint64_t> functionHolding(const BuildFunctions& functions, std::uint64_t rva) {
    const std::optional<Held> held = functions.stepHolding(rva);
    return held ? std::optional<std::uint64_t>(functions.functions[held->function].begin)
                : std::nullopt;
}

// The start of the function laid out `steps` functions after the one whose instructions hold rva
// (before it, for a negative count): a signature made for a function's start may begin further
// in.
std::optional<std::uint64_t> functionBeside(const BuildFunctions& functions, std::uint64_t rva,
                                            std::int64_t steps) {
    const std::optional<Held> held = functions.stepHolding(rva);
    if (!held) {
        return std::nullopt;
    }
    const std::int64_t beside = std::int64_t{held->function} + steps;
    if (beside < 0 || beside >= static_cast<std::int64_t>(functions.functions.size())) {
        return std::nullopt;
    }
    return functions.functions[static_cast<std::size_t>(beside)].begin;
}

// The function the anchor leads to from its match at `match`; empty when it leads outside
// the image, or to no function read.
std::optional<std::uint64_t> leadsTo(const Anchor& anchor, const ExecutableImage& image,
                                     const BuildFunctions& functions, std::uint64_t match) {
    switch (anchor.kind) {
    case Anchor::Kind::own:
    case Anchor::Kind::inside:
        return functionHolding(functions, match);
    case Anchor::Kind::before:
    case Anchor::Kind::after: {
        // As many functions on in the layout (back, from one after it) as it lay from it.
        const auto steps = static_cast<std::int64_t>(anchor.steps);
        return functionBeside(functions, match,
                              anchor.kind == Anchor::Kind::before ? steps : -steps);
    }
    case Anchor::Kind::reference:
    case Anchor::Kind::table: {
        const std::uint64_t instruction =
            match + static_cast<std::uint64_t>(anchor.instructionOffset);
        if (instruction + anchor.length > image.bytes.size()) {
            return std::nullopt;
        }
        std::uint64_t target =
            image.relativeTargetRva(instruction, anchor.fieldOffset, anchor.length);
        if (anchor.kind == Anchor::Kind::table) {
            const std::optional<std::uint64_t> pointed =
                image.pointerAt(target + anchor.slotOffset);
            if (!pointed) {
                return std::nullopt;
            }
            target = *pointed;
        }
        return target < image.bytes.size() ? functionHolding(functions, target) : std::nullopt;
    }
    }
    return std::nullopt;
}

} // namespace

std::string kindText(Anchor::Kind kind) {
    switch (kind) {
    case Anchor::Kind::own:
        return "own signature";
    case Anchor::Kind::inside:
        return "signature inside the function";
    case Anchor::Kind::reference:
        return "reference";
    case Anchor::Kind::table:
        return "table";
    case Anchor::Kind::before:
        return "function before";
    case Anchor::Kind::after:
        return "function after";
    }
    return "";
}

Bundle makeBundle(const ExecutableImage& image, const BuildFunctions& functions,
                  std::uint64_t place, std::size_t margin) {
    Bundle bundle{place, functionHolding(functions, place).value_or(place), {}};
    // An anchor is only searched for in the new build: its margin is never shown.
    constexpr MarginMeasure searched = MarginMeasure::upToAsked;
    // Each anchor is followed from its match here as in the new build, and kept only when it
    // leads to the function.
    auto add = [&](Anchor anchor) {
        if (bundle.anchors.size() < mostAnchors &&
            leadsTo(anchor, image, functions, anchor.made.rva) == bundle.function) {
            bundle.anchors.push_back(std::move(anchor));
        }
    };
    // The signature inside the function shares no byte with the place's own: a change there
    // must not break both.
    std::uint64_t ownEnd = place;
    if (Outcome<MadeSignature> own = makeSignature(image, place, margin, searched)) {
        ownEnd = place + own->signature.length();
        add({Anchor::Kind::own, std::move(*own)});
    }
    std::optional<MadeSignature> inside;
    if (bundle.function != place) {
        Outcome<MadeSignature> start = makeSignature(image, bundle.function, margin, searched);
        if (start && (ownEnd == place || start->rva + start->signature.length() <= place)) {
            inside = std::move(*start);
        }
    }
    if (!inside) {
        inside = makeInteriorSignature(image, place, margin, ownEnd, searched);
    }
    if (inside) {
        add({Anchor::Kind::inside, std::move(*inside)});
    }
    constexpr std::size_t mostReferences = 2;
    for (const ReferenceSignature& route :
         makeReferenceSignatures(image, bundle.function, margin, mostReferences, searched)) {
        add(routeAnchor(Anchor::Kind::reference, route));
    }
    // The neighbours in the layout: the nearest functions before and after it whose own code
    // makes a signature; taken last, and only where the function's own code and what refers to
    // it give fewer than two anchors.
    constexpr std::size_t mostSteps = 3;
    auto neighbour = [&](Anchor::Kind kind) {
        std::optional<std::uint64_t> at = bundle.function;
        for (std::size_t steps = 1; steps <= mostSteps && bundle.anchors.size() < mostAnchors;
             ++steps) {
            at = functionBeside(functions, *at, kind == Anchor::Kind::before ? -1 : 1);
            if (!at) {
                return;
            }
            if (Outcome<MadeSignature> made = makeSignature(image, *at, margin, searched)) {
                Anchor anchor{kind, std::move(*made)};
                anchor.steps = steps;
                const std::size_t before = bundle.anchors.size();
                add(std::move(anchor));
                if (bundle.anchors.size() > before) {
                    return;
                }
            }
        }
    };
    if (bundle.anchors.size() < mostAnchors) {
        for (const TableSignature& route : makeTableSignatures(
                 image, bundle.function, margin, mostAnchors - bundle.anchors.size(), searched)) {
            Anchor anchor = routeAnchor(Anchor::Kind::table, route.route);
            anchor.slotOffset = route.slotOffset;
            add(std::move(anchor));
        }
    }
    if (bundle.anchors.size() < 2) {
        neighbour(Anchor::Kind::before);
        neighbour(Anchor::Kind::after);
    }
    return bundle;
}

BundleReading readBundle(const Bundle& bundle, const ExecutableImage& image,
                         const BuildFunctions& functions) {
    std::vector<BytePattern> patterns;
    for (const Anchor& anchor : bundle.anchors) {
        patterns.push_back(anchor.made.signature.pattern());
    }
    const std::vector<PatternMatches> matches = image.countMatches(patterns, 2);
    BundleReading reading;
    std::map<std::uint64_t, std::size_t> votes;
    for (std::size_t n = 0; n < bundle.anchors.size(); ++n) {
        BundleReading::Found found{bundle.anchors[n], matches[n].count, std::nullopt, std::nullopt};
        if (found.matches == 1) {
            found.match = image.rvaOf(matches[n].lowest.front());
            found.function = leadsTo(bundle.anchors[n], image, functions, *found.match);
            ++reading.found;
            if (found.function) {
                ++votes[*found.function];
            }
        }
        reading.anchors.push_back(found);
    }
    for (const auto& [function, count] : votes) {
        reading.candidates.push_back(function);
        reading.agreeing = std::max(reading.agreeing, count);
    }
    // Every anchor found must agree: one that leads elsewhere, or nowhere, is a warning that the
    // others may have been fooled too.
    if (reading.found >= 2 && votes.size() == 1 && reading.agreeing == reading.found) {
        reading.function = votes.begin()->first;
    }
    return reading;
}

} // namespace scan
