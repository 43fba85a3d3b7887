#include "scan/routes/routes.hpp"

#include "scan/image/code_walk.hpp"
#include "scan/image/funclets.hpp"
#include "scan/image/function_map.hpp"

#include <algorithm>
#include <cstring>
#include <set>

namespace scan {

namespace {

// The shortest signature that covers the instruction of the reference, starting at it or at an
// earlier instruction of its function (within longestSignature bytes), and matches once with the
// margin asked for (else the widest margin within reach). Where none does (the instruction and
// those before it occur elsewhere too, as the look-alike cases of a switch do), one that starts at
// a later instruction of the same function: the distance back to the reference is as fixed as an
// interior signature's.
std::optional<ReferenceSignature> signatureThrough(const ExecutableImage& image,
                                                   const Reference& reference, std::size_t margin,
                                                   MarginMeasure measure) {
    const std::uint64_t end = reference.rva + reference.length;
    const std::uint64_t limit = functionOf(image, reference.rva).end;
    // Only a known function's earlier instructions are tried: its walk starts at its beginning.
    std::vector<CodeStep> steps = walkTo(image, reference.rva);
    if (!image.functionAt(reference.rva) || steps.empty()) {
        steps = {{reference.rva, reference.length, imageBaseAt(image, reference.rva)}};
    }
    std::optional<MadeSignature> best;
    FirstPlaces known; // each start's growth picks its places from the later one's
    auto reached = [&](const MadeSignature& made) { return std::min(made.margin, margin); };
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (end - step->rva > longestSignature ||
            (best && reached(*best) == margin && end - step->rva >= best->signature.length())) {
            break; // starting further back cannot make it shorter
        }
        Outcome<MadeSignature> signature =
            growSignature(image, step->rva, end, limit, step->imageBase, margin, measure, &known);
        if (signature && (!best || reached(*signature) > reached(*best) ||
                          (reached(*signature) == reached(*best) &&
                           signature->signature.length() < best->signature.length()))) {
            best = std::move(*signature);
        }
    }
    if (!best) {
        best = makeInteriorSignature(image, reference.rva, margin, end, measure);
    }
    if (!best) {
        return std::nullopt;
    }
    const std::int64_t offset =
        static_cast<std::int64_t>(reference.rva) - static_cast<std::int64_t>(best->rva);
    const auto field = offset + static_cast<std::int64_t>(reference.fieldOffset);
    return ReferenceSignature{std::move(*best), reference, offset, field};
}

// Signatures through up to `most` of the references, one per function first, then the rest; each
// kept only when `leads` says that following it (its referring instruction, at the match plus
// the instruction's offset, and that instruction's field) reaches the place. Each
// reference tried costs up to a few passes over the image: a bounded number are tried.
template <typename Leads>
std::vector<ReferenceSignature>
signaturesThrough(const ExecutableImage& image, const std::vector<Reference>& references,
                  std::size_t margin, std::size_t most, MarginMeasure measure, const Leads& leads) {
    constexpr std::size_t mostTried = 32;
    std::vector<ReferenceSignature> made;
    std::set<std::uint64_t> functionsUsed;
    std::set<std::uint64_t> tried;
    for (int round = 0; round < 2 && made.size() < most; ++round) {
        for (const Reference& reference : references) {
            if (made.size() >= most || tried.size() >= mostTried) {
                break;
            }
            const std::uint64_t owner = functionStartOf(image, reference.rva);
            if ((round == 0 && functionsUsed.contains(owner)) || tried.contains(reference.rva)) {
                continue;
            }
            tried.insert(reference.rva);
            std::optional<ReferenceSignature> signature =
                signatureThrough(image, reference, margin, measure);
            // Followed from its one match as a user of the signature would: it must lead here.
            if (signature && leads(signature->made.rva +
                                       static_cast<std::uint64_t>(signature->instructionOffset),
                                   signature->reference)) {
                functionsUsed.insert(owner);
                made.push_back(std::move(*signature));
            }
        }
    }
    return made;
}

// The slot's pointer leads into code.
bool pointsToCode(const ExecutableImage& image, std::uint64_t slot) {
    const std::optional<std::uint64_t> target = image.pointerAt(slot);
    return target && image.inCode(*target);
}

} // namespace

std::vector<ReferenceSignature> makeReferenceSignatures(const ExecutableImage& image,
                                                        std::uint64_t place, std::size_t margin,
                                                        std::size_t most, MarginMeasure measure) {
    return signaturesThrough(image, findReferences(image, place), margin, most, measure,
                             [&](std::uint64_t instruction, const Reference& reference) {
                                 return image.relativeTargetRva(instruction, reference.fieldOffset,
                                                                reference.length) == place;
                             });
}

std::vector<ThunkSignature> makeThunkSignatures(const ExecutableImage& image, std::uint64_t place,
                                                std::size_t margin, std::size_t most) {
    std::vector<ThunkSignature> made;
    for (const Reference& jump : findReferences(image, place)) {
        if (made.size() >= most) {
            break;
        }
        if (!jump.branch || jump.length != 5 || !isJumpThunk(image, jump.rva)) {
            continue;
        }
        // Followed from the match as a user would: to a jump, and on from there to the place.
        auto leads = [&](std::uint64_t instruction, const Reference& reference) {
            const std::uint64_t thunk =
                image.relativeTargetRva(instruction, reference.fieldOffset, reference.length);
            return thunk < image.bytes.size() && image.bytes.size() - thunk >= 5 &&
                   image.bytes[thunk] == 0xE9 && image.relativeTargetRva(thunk, 1, 5) == place;
        };
        for (ReferenceSignature& route :
             signaturesThrough(image, findReferences(image, jump.rva), margin, most - made.size(),
                               MarginMeasure::exact, leads)) {
            made.push_back({std::move(route), jump.rva});
        }
    }
    return made;
}

std::vector<TableSignature> makeTableSignatures(const ExecutableImage& image, std::uint64_t place,
                                                std::size_t margin, std::size_t most,
                                                MarginMeasure measure) {
    // The slots that hold the place's address, as the preferred load address gives it.
    constexpr std::size_t mostSlots = 16;
    constexpr std::uint64_t mostSlotsBack = 512;
    const std::uint64_t address = image.imageBase + place;
    char bytes[8];
    std::memcpy(bytes, &address, sizeof(bytes));
    const BytePattern pointer{bytes, "xxxxxxxx"};
    std::vector<std::uint64_t> slots;
    forEachMatch(
        image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()), std::span(&pointer, 1),
        [&](std::size_t, const unsigned char* match) {
            const std::uint64_t slot = image.rvaOf(match);
            const Section* section = image.sectionOf(slot);
            if (slot % 8 == 0 && section != nullptr && !section->executable) {
                slots.push_back(slot);
            }
            return slots.size() < mostSlots;
        },
        &image.weights);
    std::vector<TableSignature> made;
    for (const std::uint64_t slot : slots) {
        // The table runs back from the slot over pointers into code, as a virtual table or a
        // table of functions does.
        const Section* section = image.sectionOf(slot);
        std::uint64_t first = slot;
        while (first - section->virtualAddress >= 8 && slot - first < mostSlotsBack * 8 &&
               pointsToCode(image, first - 8)) {
            first -= 8;
        }
        std::vector<Reference> references;
        for (Reference& reference : findReferences(image, first, slot)) {
            if (!reference.branch && (slot - reference.target) % 8 == 0) {
                references.push_back(std::move(reference));
            }
        }
        // The nearest table start first: the likeliest to be where the table itself begins.
        std::stable_sort(
            references.begin(), references.end(),
            [](const Reference& a, const Reference& b) { return a.target > b.target; });
        auto leads = [&](std::uint64_t instruction, const Reference& reference) {
            const std::uint64_t table =
                image.relativeTargetRva(instruction, reference.fieldOffset, reference.length);
            return image.pointerAt(table + (slot - reference.target)) == place;
        };
        for (ReferenceSignature& route :
             signaturesThrough(image, references, margin, most - made.size(), measure, leads)) {
            const std::uint64_t table = route.reference.target;
            made.push_back({std::move(route), table, slot - table});
        }
        if (made.size() >= most) {
            break;
        }
    }
    return made;
}

SignatureRoutes findSignatureRoutes(const ExecutableImage& image, std::uint64_t place,
                                    bool byReference, std::size_t margin) {
    // Each signature offered with its fit as an engine pattern.
    const auto offer = [&](auto route) {
        const MadeSignature& made = signatureOf(route);
        Outcome<EngineEntry> fit = fitAsEnginePattern(image, made.signature, made.rva);
        return Offered<decltype(route)>{std::move(route), std::move(fit)};
    };
    const auto offerAll = [&](auto routes) {
        std::vector<Offered<typename decltype(routes)::value_type>> offered;
        for (auto& route : routes) {
            offered.push_back(offer(std::move(route)));
        }
        return offered;
    };
    Outcome<MadeSignature> own = makeSignature(image, place, margin);
    SignatureRoutes routes{place,
                           own ? Outcome<Offered<MadeSignature>>(offer(std::move(*own)))
                               : Outcome<Offered<MadeSignature>>(own.error()),
                           std::nullopt, image.functionAt(place)};
    if (!routes.own) {
        if (std::optional<MadeSignature> interior = makeInteriorSignature(image, place, margin)) {
            const std::int64_t back =
                static_cast<std::int64_t>(place) - static_cast<std::int64_t>(interior->rva);
            routes.interior = offer(InteriorSignature{std::move(*interior), back});
        }
    }
    routes.referencesLooked = !routes.own || byReference;
    if (routes.referencesLooked) {
        routes.references = offerAll(makeReferenceSignatures(image, place, margin));
    }
    routes.thunksLooked = routes.referencesLooked && routes.references.empty();
    if (routes.thunksLooked) {
        routes.thunks = offerAll(makeThunkSignatures(image, place, margin));
    }
    routes.tablesLooked = byReference || !routes.any();
    if (routes.tablesLooked) {
        routes.tables = offerAll(makeTableSignatures(image, place, margin));
    }
    routes.exports = image.exportsAt(place);
    if (routes.referencesLooked && routes.references.empty() && routes.thunks.empty() &&
        routes.tables.empty()) {
        routes.funcletParent = funcletParentOf(image, place);
    }
    return routes;
}

} // namespace scan
