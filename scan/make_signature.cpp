#include "scan/make_signature.hpp"

#include "scan/funclets.hpp"
#include "scan/function_map.hpp"
#include "scan/hex.hpp"
#include "scan/image_base.hpp"
#include "scan/instructions.hpp"
#include "scan/near.hpp"

#include <algorithm>
#include <cstring>
#include <set>

namespace scan {

namespace {

// The field's bytes change when the executable is linked again or its data moves.
bool changesWithTheLink(const InstructionField& field, const ExecutableImage& image,
                        RegisterSet imageBase) {
    if (field.kind == InstructionField::Kind::relative) {
        return true;
    }
    // Only fields wide enough to hold an address can be one.
    const auto value = static_cast<std::uint64_t>(field.value);
    if (field.size >= 4 && value >= image.imageBase &&
        value - image.imageBase < image.bytes.size()) {
        return true;
    }
    // An RVA: added to a register that holds the image base.
    return field.kind == InstructionField::Kind::displacement && field.size == 4 &&
           (imageBase & (registerBit(field.base) | registerBit(field.index))) != 0;
}

// The places where a growing signature matches, then (once it matches only once) those where
// it nearly matches, within `within` differing fixed bytes. Each search finds every place of the
// whole image; once few enough are found to keep, a longer signature's places, which lie among a
// shorter one's, are picked from them instead of being searched for again.
class Places {
public:
    Places(const ExecutableImage& image, std::size_t within) : image_(image), within_(within) {}

    // Whether the signature matches once.
    bool once(const Signature& signature) {
        if (exact_) {
            narrow(*exact_, signature, 0);
        } else {
            const BytePattern pattern = signature.pattern();
            std::vector<std::uint64_t> found;
            forEachMatch(
                image_.bytes.data(), static_cast<std::uint32_t>(image_.bytes.size()),
                std::span(&pattern, 1),
                [&](std::size_t, const unsigned char* at) {
                    found.push_back(image_.rvaOf(at));
                    return found.size() <= mostKept;
                },
                &image_.weights);
            if (found.size() <= mostKept) {
                exact_ = std::move(found);
            } else {
                return false;
            }
        }
        return exact_->size() == 1;
    }

    // The fewest fixed bytes by which another place differs from a signature that matches once,
    // when that is within `within`; empty when none differs in so few.
    std::optional<std::size_t> nearest(const Signature& signature) {
        if (within_ == 0) {
            return std::nullopt;
        }
        if (near_) {
            narrow(*near_, signature, within_);
        } else {
            const NearMatches found = findNearMatches(
                image_.bytes.data(), static_cast<std::uint32_t>(image_.bytes.size()),
                signature.pattern(), within_, mostKept);
            if (found.total > mostKept) {
                return found.listed.front().differingOffsets.size();
            }
            near_.emplace();
            for (const NearMatch& match : found.listed) {
                near_->push_back(match.offset);
            }
        }
        std::optional<std::size_t> fewest;
        for (const std::uint64_t rva : *near_) {
            const std::size_t differing = differences(rva, signature, within_);
            fewest = std::min(fewest.value_or(differing), differing);
        }
        return fewest;
    }

private:
    static constexpr std::size_t mostKept = 4096;

    // The fixed bytes of the signature the place differs in, counted no further than past `stop`.
    std::size_t differences(std::uint64_t rva, const Signature& signature, std::size_t stop) const {
        if (rva + signature.length() > image_.bytes.size()) {
            return stop + 1; // the signature does not fit there
        }
        std::size_t differing = 0;
        for (std::size_t j = 0; j < signature.length() && differing <= stop; ++j) {
            differing += signature.mask[j] == 'x' &&
                         image_.bytes[rva + j] != static_cast<unsigned char>(signature.bytes[j]);
        }
        return differing;
    }

    void narrow(std::vector<std::uint64_t>& places, const Signature& signature,
                std::size_t within) const {
        std::erase_if(places, [&](std::uint64_t rva) {
            const std::size_t differing = differences(rva, signature, within);
            return differing > within || (within > 0 && differing == 0);
        });
    }

    const ExecutableImage& image_;
    std::size_t within_;
    std::optional<std::vector<std::uint64_t>> exact_;
    std::optional<std::vector<std::uint64_t>> near_; // without the exact match
};

Error noSignature(std::string why) {
    return {Error::Kind::notFound, std::move(why)};
}

// The shortest signature of whole instructions from start that covers at least up to through,
// ends at limit at the latest, matches once and has at least the margin asked for (else the
// widest margin within reach, the shortest such); imageBase holds the registers that hold the
// image base at start.
Outcome<MadeSignature> signatureFrom(const ExecutableImage& image, std::uint64_t start,
                                     std::uint64_t through, std::uint64_t limit,
                                     RegisterSet imageBase, std::size_t margin) {
    MadeSignature made;
    made.rva = start;
    std::optional<MadeSignature> best; // matches once, short of the margin
    Places places(image, std::max<std::size_t>(margin, 1) - 1);
    auto end = [&](std::string why) -> Outcome<MadeSignature> {
        if (best) {
            return std::move(*best);
        }
        return noSignature(std::move(why));
    };
    for (std::uint64_t at = start;;) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            return end("no instruction can be decoded at RVA " + hex(at));
        }
        if (at + instruction->length > limit) {
            return end("no signature of whole instructions from RVA " + hex(start) +
                       " to the end of its function (RVA " + hex(limit) + ") matches only once");
        }
        if (made.signature.length() + instruction->length > longestSignature) {
            return end("no signature of whole instructions starting at RVA " + hex(start) +
                       " within " + std::to_string(longestSignature) + " bytes matches only once");
        }
        std::string mask(instruction->length, 'x');
        std::string bytes(reinterpret_cast<const char*>(image.bytes.data() + at),
                          instruction->length);
        for (const InstructionField& field : instruction->fields) {
            if (changesWithTheLink(field, image, imageBase)) {
                std::fill_n(mask.begin() + static_cast<std::ptrdiff_t>(field.offset), field.size,
                            '?');
                std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(field.offset), field.size,
                            '\0');
            }
        }
        made.signature.bytes += bytes;
        made.signature.mask += mask;
        made.instructions.push_back(instruction->text);
        imageBase = imageBaseAfter(image, imageBase, *instruction);
        at += instruction->length;
        if (at >= through && made.signature.mask.find('x') != std::string::npos &&
            places.once(made.signature)) {
            const std::optional<std::size_t> nearest = places.nearest(made.signature);
            if (!nearest) {
                made.margin =
                    marginOf(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                             made.signature.pattern(), margin);
                return made;
            }
            made.margin = *nearest;
            if (!best || made.margin > best->margin) {
                best = made;
            }
        }
    }
}

// The shortest signature that covers the instruction of the reference, starting at it or at an
// earlier instruction of its function (within longestSignature bytes), and matches once with the
// margin asked for (else the widest margin within reach). Where none does (the instruction and
// those before it occur elsewhere too, as the look-alike cases of a switch do), one that starts at
// a later instruction of the same function: the distance back to the reference is as fixed as an
// interior signature's.
std::optional<ReferenceSignature> signatureThrough(const ExecutableImage& image,
                                                   const Reference& reference, std::size_t margin) {
    const std::uint64_t end = reference.rva + reference.length;
    const std::uint64_t limit = functionOf(image, reference.rva).end;
    // Only a known function's earlier instructions are tried: its walk starts at its beginning.
    std::vector<CodeStep> steps = walkTo(image, reference.rva);
    if (!image.functionAt(reference.rva) || steps.empty()) {
        steps = {{reference.rva, reference.length, imageBaseAt(image, reference.rva)}};
    }
    std::optional<MadeSignature> best;
    auto reached = [&](const MadeSignature& made) { return std::min(made.margin, margin); };
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (end - step->rva > longestSignature ||
            (best && reached(*best) == margin && end - step->rva >= best->signature.length())) {
            break; // starting further back cannot make it shorter
        }
        Outcome<MadeSignature> signature =
            signatureFrom(image, step->rva, end, limit, step->imageBase, margin);
        if (signature && (!best || reached(*signature) > reached(*best) ||
                          (reached(*signature) == reached(*best) &&
                           signature->signature.length() < best->signature.length()))) {
            best = std::move(*signature);
        }
    }
    if (!best) {
        best = makeInteriorSignature(image, reference.rva, margin, end);
    }
    if (!best) {
        return std::nullopt;
    }
    const std::int64_t offset =
        static_cast<std::int64_t>(reference.rva) - static_cast<std::int64_t>(best->rva);
    return ReferenceSignature{std::move(*best), reference, offset};
}

// Signatures through up to `most` of the references, one per function first, then the rest; each
// kept only when `leads` says that following it (its referring instruction, at the match plus
// the instruction's offset, and that instruction's field) reaches the place. Each
// reference tried costs up to a few passes over the image: a bounded number are tried.
template <typename Leads>
std::vector<ReferenceSignature>
signaturesThrough(const ExecutableImage& image, const std::vector<Reference>& references,
                  std::size_t margin, std::size_t most, const Leads& leads) {
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
                signatureThrough(image, reference, margin);
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

std::optional<Error> refuseSignatureAt(const ExecutableImage& image, std::uint64_t rva) {
    auto refused = [&](std::string why) {
        return Error{Error::Kind::badArgument, "--make-signature: RVA " + hex(rva) + why};
    };
    if (rva >= image.bytes.size()) {
        return refused(" lies outside the image (SizeOfImage " + hex(image.bytes.size()) + ")");
    }
    const Section* section = image.sectionOf(rva);
    if (section == nullptr) {
        return refused(" lies in no section (the headers or a gap between sections), not in code");
    }
    if (!section->executable) {
        return refused(" lies in " + section->name +
                       ", which holds no code: give the RVA of an instruction");
    }
    return std::nullopt;
}

Outcome<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva,
                                     std::size_t margin) {
    return signatureFrom(image, rva, rva + 1, functionOf(image, rva).end, imageBaseAt(image, rva),
                         margin);
}

std::optional<MadeSignature> makeInteriorSignature(const ExecutableImage& image,
                                                   std::uint64_t place, std::size_t margin,
                                                   std::uint64_t notBefore) {
    const std::uint64_t limit = functionOf(image, place).end;
    RegisterSet imageBase = imageBaseAt(image, place);
    std::uint64_t at = place;
    for (std::size_t n = 0; n < mostInterior && at < limit;) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            break;
        }
        imageBase = imageBaseAfter(image, imageBase, *instruction);
        at += instruction->length;
        if (at < notBefore) {
            continue;
        }
        ++n;
        if (Outcome<MadeSignature> made =
                signatureFrom(image, at, at + 1, limit, imageBase, margin)) {
            return std::move(*made);
        }
    }
    return std::nullopt;
}

std::vector<ReferenceSignature> makeReferenceSignatures(const ExecutableImage& image,
                                                        std::uint64_t place, std::size_t margin,
                                                        std::size_t most) {
    return signaturesThrough(image, findReferences(image, place), margin, most,
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
        for (ReferenceSignature& route : signaturesThrough(image, findReferences(image, jump.rva),
                                                           margin, most - made.size(), leads)) {
            made.push_back({std::move(route), jump.rva});
        }
    }
    return made;
}

std::vector<TableSignature> makeTableSignatures(const ExecutableImage& image, std::uint64_t place,
                                                std::size_t margin, std::size_t most) {
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
             signaturesThrough(image, references, margin, most - made.size(), leads)) {
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
    SignatureRoutes routes{makeSignature(image, place, margin), std::nullopt,
                           image.functionAt(place)};
    if (!routes.own) {
        routes.interior = makeInteriorSignature(image, place, margin);
    }
    routes.referencesLooked = !routes.own || byReference;
    if (routes.referencesLooked) {
        routes.references = makeReferenceSignatures(image, place, margin);
    }
    routes.thunksLooked = routes.referencesLooked && routes.references.empty();
    if (routes.thunksLooked) {
        routes.thunks = makeThunkSignatures(image, place, margin);
    }
    routes.tablesLooked = byReference || !routes.any();
    if (routes.tablesLooked) {
        routes.tables = makeTableSignatures(image, place, margin);
    }
    routes.exports = image.exportsAt(place);
    if (routes.referencesLooked && routes.references.empty() && routes.thunks.empty() &&
        routes.tables.empty()) {
        routes.funcletParent = funcletParentOf(image, place);
    }
    return routes;
}

} // namespace scan
