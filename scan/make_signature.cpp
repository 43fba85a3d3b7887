#include "scan/make_signature.hpp"

#include "scan/hex.hpp"
#include "scan/image_base.hpp"
#include "scan/instructions.hpp"

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

bool matchesOnce(const ExecutableImage& image, const Signature& signature) {
    const BytePattern pattern = signature.pattern();
    return image.countMatches(std::span(&pattern, 1), 2).front().count == 1;
}

Error noSignature(std::string why) {
    return {Error::Kind::notFound, std::move(why)};
}

// The shortest signature of whole instructions from start that covers at least up to through,
// ends at limit at the latest and matches once; imageBase holds the registers that hold the image
// base at start.
Outcome<MadeSignature> signatureFrom(const ExecutableImage& image, std::uint64_t start,
                                     std::uint64_t through, std::uint64_t limit,
                                     RegisterSet imageBase) {
    MadeSignature made;
    made.rva = start;
    for (std::uint64_t at = start;;) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            return noSignature("no instruction can be decoded at RVA " + hex(at));
        }
        if (at + instruction->length > limit) {
            return noSignature("no signature of whole instructions from RVA " + hex(start) +
                               " to the end of its function (RVA " + hex(limit) +
                               ") matches only once");
        }
        if (made.signature.length() + instruction->length > longestSignature) {
            return noSignature("no signature of whole instructions starting at RVA " + hex(start) +
                               " within " + std::to_string(longestSignature) +
                               " bytes matches only once");
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
            matchesOnce(image, made.signature)) {
            return made;
        }
    }
}

// Where a signature starting at rva must end: its function's end; else (a leaf function, which
// needs no unwind information) the next function the exception directory knows, or its section's
// end.
std::uint64_t limitFor(const ExecutableImage& image, std::uint64_t rva) {
    if (const std::optional<FunctionExtent> function = image.functionAt(rva)) {
        return function->end;
    }
    const Section* section = image.sectionOf(rva);
    std::uint64_t limit = section != nullptr
                              ? std::uint64_t{section->virtualAddress} + section->span
                              : image.bytes.size();
    const auto next = std::upper_bound(
        image.functions.begin(), image.functions.end(), rva,
        [](std::uint64_t at, const FunctionExtent& function) { return at < function.begin; });
    if (next != image.functions.end()) {
        limit = std::min<std::uint64_t>(limit, next->begin);
    }
    return limit;
}

// The shortest signature that covers the instruction of the reference, starting at it or at an
// earlier instruction of its function (within longestSignature bytes), and matches once.
std::optional<ReferenceSignature> signatureThrough(const ExecutableImage& image,
                                                   const Reference& reference) {
    const std::uint64_t end = reference.rva + reference.length;
    const std::uint64_t limit = limitFor(image, reference.rva);
    // Only a known function's earlier instructions are tried: its walk starts at its beginning.
    std::vector<CodeStep> steps = walkTo(image, reference.rva);
    if (!image.functionAt(reference.rva) || steps.empty()) {
        steps = {{reference.rva, reference.length, imageBaseAt(image, reference.rva)}};
    }
    std::optional<MadeSignature> best;
    for (auto step = steps.rbegin(); step != steps.rend(); ++step) {
        if (end - step->rva > longestSignature ||
            (best && end - step->rva >= best->signature.length())) {
            break; // starting further back cannot make it shorter
        }
        Outcome<MadeSignature> signature =
            signatureFrom(image, step->rva, end, limit, step->imageBase);
        if (signature && (!best || signature->signature.length() < best->signature.length())) {
            best = std::move(*signature);
        }
    }
    if (!best) {
        return std::nullopt;
    }
    const auto offset = static_cast<std::size_t>(reference.rva - best->rva);
    return ReferenceSignature{std::move(*best), reference, offset};
}

// The function a reference lies in, by its start; the reference itself where none is known.
std::uint64_t ownerOf(const ExecutableImage& image, const Reference& reference) {
    const std::optional<FunctionExtent> function = image.functionAt(reference.rva);
    return function ? function->begin : reference.rva;
}

// Signatures through up to `most` of the references, one per function first, then the rest; each
// kept only when `leads` says that following it (its referring instruction, at the match plus
// the instruction's offset, and that instruction's field) reaches the place. Each
// reference tried costs up to a few passes over the image: a bounded number are tried.
template <typename Leads>
std::vector<ReferenceSignature> signaturesThrough(const ExecutableImage& image,
                                                  const std::vector<Reference>& references,
                                                  std::size_t most, const Leads& leads) {
    constexpr std::size_t mostTried = 32;
    std::vector<ReferenceSignature> made;
    std::set<std::uint64_t> functionsUsed;
    std::set<std::uint64_t> tried;
    for (int round = 0; round < 2 && made.size() < most; ++round) {
        for (const Reference& reference : references) {
            if (made.size() >= most || tried.size() >= mostTried) {
                break;
            }
            const std::uint64_t owner = ownerOf(image, reference);
            if ((round == 0 && functionsUsed.contains(owner)) || tried.contains(reference.rva)) {
                continue;
            }
            tried.insert(reference.rva);
            std::optional<ReferenceSignature> signature = signatureThrough(image, reference);
            // Followed from its one match as a user of the signature would: it must lead here.
            if (signature &&
                leads(signature->made.rva + signature->instructionOffset, signature->reference)) {
                functionsUsed.insert(owner);
                made.push_back(std::move(*signature));
            }
        }
    }
    return made;
}

std::uint64_t read64(const ExecutableImage& image, std::uint64_t rva) {
    std::uint64_t value = 0;
    std::memcpy(&value, image.bytes.data() + rva, sizeof(value));
    return value;
}

// The place a slot's pointer leads to, when it lies in the image and points into code.
bool pointsToCode(const ExecutableImage& image, std::uint64_t slot) {
    const std::uint64_t pointer = read64(image, slot);
    if (pointer < image.imageBase) {
        return false;
    }
    const Section* section = image.sectionOf(pointer - image.imageBase);
    return section != nullptr && section->executable;
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

Outcome<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva) {
    return signatureFrom(image, rva, rva + 1, limitFor(image, rva), imageBaseAt(image, rva));
}

std::optional<MadeSignature> makeInteriorSignature(const ExecutableImage& image,
                                                   std::uint64_t place) {
    const std::uint64_t limit = limitFor(image, place);
    RegisterSet imageBase = imageBaseAt(image, place);
    std::uint64_t at = place;
    for (std::size_t n = 0; n < mostInterior && at < limit; ++n) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            break;
        }
        imageBase = imageBaseAfter(image, imageBase, *instruction);
        at += instruction->length;
        if (Outcome<MadeSignature> made = signatureFrom(image, at, at + 1, limit, imageBase)) {
            return std::move(*made);
        }
    }
    return std::nullopt;
}

std::vector<ReferenceSignature> makeReferenceSignatures(const ExecutableImage& image,
                                                        std::uint64_t place, std::size_t most) {
    return signaturesThrough(image, findReferences(image, place), most,
                             [&](std::uint64_t instruction, const Reference& reference) {
                                 return image.relativeTargetRva(instruction, reference.fieldOffset,
                                                                reference.length) == place;
                             });
}

std::vector<TableSignature> makeTableSignatures(const ExecutableImage& image, std::uint64_t place,
                                                std::size_t most) {
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
            const std::uint64_t at = table + (slot - reference.target);
            return at < image.bytes.size() && image.bytes.size() - at >= 8 &&
                   read64(image, at) - image.imageBase == place;
        };
        for (ReferenceSignature& route :
             signaturesThrough(image, references, most - made.size(), leads)) {
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
                                    bool byReference) {
    SignatureRoutes routes{makeSignature(image, place), std::nullopt, image.functionAt(place)};
    if (!routes.own) {
        routes.interior = makeInteriorSignature(image, place);
    }
    routes.referencesLooked = !routes.own || byReference;
    if (routes.referencesLooked) {
        routes.references = makeReferenceSignatures(image, place);
    }
    routes.tablesLooked = byReference || !routes.any();
    if (routes.tablesLooked) {
        routes.tables = makeTableSignatures(image, place);
    }
    return routes;
}

} // namespace scan
