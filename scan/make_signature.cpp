#include "scan/make_signature.hpp"

#include "scan/hex.hpp"
#include "scan/instructions.hpp"

#include <algorithm>
#include <set>

namespace scan {

namespace {

// The field's bytes change when the executable is linked again or its data moves.
bool changesWithTheLink(const InstructionField& field, const ExecutableImage& image) {
    if (field.kind == InstructionField::Kind::relative) {
        return true;
    }
    // Only fields wide enough to hold an address can be one.
    const auto value = static_cast<std::uint64_t>(field.value);
    if (field.size >= 4 && value >= image.imageBase &&
        value - image.imageBase < image.bytes.size()) {
        return true;
    }
    // An RVA added to a register that holds the image base: [r12 + rsi*8 + 0x70680]. Small
    // structure and stack offsets lie in no section (the headers come first) and stay fixed.
    return field.kind == InstructionField::Kind::displacement && field.registerBased &&
           field.size == 4 && field.value > 0 && image.sectionOf(value) != nullptr;
}

bool matchesOnce(const ExecutableImage& image, const Signature& signature) {
    const BytePattern pattern = signature.pattern();
    PatternMatches matches;
    countMatches(image.bytes.data(), static_cast<std::uint32_t>(image.bytes.size()),
                 std::span(&pattern, 1), std::span(&matches, 1), 0, 2);
    return matches.count == 1;
}

// The shortest signature of whole instructions from start that covers at least up to through,
// ends at limit at the latest and matches once.
std::optional<MadeSignature> signatureFrom(const ExecutableImage& image, std::uint64_t start,
                                           std::uint64_t through, std::uint64_t limit,
                                           std::string& why) {
    MadeSignature made;
    made.rva = start;
    for (std::uint64_t at = start;;) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            why = "no instruction can be decoded at RVA " + hex(at);
            return std::nullopt;
        }
        if (at + instruction->length > limit) {
            why = "no signature of whole instructions from RVA " + hex(start) +
                  " to the end of its function (RVA " + hex(limit) + ") matches only once";
            return std::nullopt;
        }
        if (made.signature.length() + instruction->length > longestSignature) {
            why = "no signature of whole instructions starting at RVA " + hex(start) + " within " +
                  std::to_string(longestSignature) + " bytes matches only once";
            return std::nullopt;
        }
        std::string mask(instruction->length, 'x');
        std::string bytes(reinterpret_cast<const char*>(image.bytes.data() + at),
                          instruction->length);
        for (const InstructionField& field : instruction->fields) {
            if (changesWithTheLink(field, image)) {
                std::fill_n(mask.begin() + static_cast<std::ptrdiff_t>(field.offset), field.size,
                            '?');
                std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(field.offset), field.size,
                            '\0');
            }
        }
        made.signature.bytes += bytes;
        made.signature.mask += mask;
        made.instructions.push_back(instruction->text);
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

// Instruction starts before rva in its function, nearest first, from decoding the function from
// its beginning; empty when the function is not known or the decoding misses rva.
std::vector<std::uint64_t> startsBefore(const ExecutableImage& image, std::uint64_t rva) {
    const std::optional<FunctionExtent> function = image.functionAt(rva);
    std::vector<std::uint64_t> starts;
    if (!function) {
        return starts;
    }
    std::uint64_t at = function->begin;
    while (at < rva) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            return {};
        }
        starts.push_back(at);
        at += instruction->length;
    }
    if (at != rva) {
        return {};
    }
    std::reverse(starts.begin(), starts.end());
    return starts;
}

} // namespace

std::optional<std::string> refuseSignatureAt(const ExecutableImage& image, std::uint64_t rva) {
    if (rva >= image.bytes.size()) {
        return "RVA " + hex(rva) + " lies outside the image (SizeOfImage " +
               hex(image.bytes.size()) + ")";
    }
    const Section* section = image.sectionOf(rva);
    if (section == nullptr) {
        return "RVA " + hex(rva) +
               " lies in no section (the headers or a gap between sections)"
               ", not in code";
    }
    if (!section->executable) {
        return "RVA " + hex(rva) + " lies in " + section->name +
               ", which holds no code: give the RVA of an instruction";
    }
    return std::nullopt;
}

std::optional<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva,
                                           std::string& why) {
    return signatureFrom(image, rva, rva + 1, limitFor(image, rva), why);
}

std::optional<MadeSignature> makeInteriorSignature(const ExecutableImage& image,
                                                   std::uint64_t place) {
    const std::uint64_t limit = limitFor(image, place);
    std::uint64_t at = place;
    for (std::size_t n = 0; n < mostInterior && at < limit; ++n) {
        const std::optional<Instruction> instruction = instructionAt(image, at);
        if (!instruction) {
            break;
        }
        at += instruction->length;
        std::string why;
        if (std::optional<MadeSignature> made = signatureFrom(image, at, at + 1, limit, why)) {
            return made;
        }
    }
    return std::nullopt;
}

std::vector<ReferenceSignature> makeReferenceSignatures(const ExecutableImage& image,
                                                        std::uint64_t place, std::size_t most) {
    // Each reference tried costs up to a few passes over the image: a bounded number are tried.
    constexpr std::size_t mostTried = 32;
    std::vector<ReferenceSignature> made;
    std::set<std::uint64_t> functionsUsed;
    std::size_t tried = 0;
    const std::vector<Reference> references = findReferences(image, place);
    // Two rounds: first one reference per function, then the rest.
    for (int round = 0; round < 2 && made.size() < most; ++round) {
        for (const Reference& reference : references) {
            if (made.size() >= most || tried >= mostTried) {
                break;
            }
            const std::optional<FunctionExtent> function = image.functionAt(reference.rva);
            const std::uint64_t owner = function ? function->begin : reference.rva;
            const bool used = functionsUsed.contains(owner);
            const bool taken =
                std::any_of(made.begin(), made.end(), [&](const ReferenceSignature& each) {
                    return each.reference.rva == reference.rva;
                });
            if ((round == 0 && used) || taken) {
                continue;
            }
            ++tried;
            const std::uint64_t end = reference.rva + reference.length;
            const std::uint64_t limit = limitFor(image, reference.rva);
            std::vector<std::uint64_t> starts{reference.rva};
            for (const std::uint64_t earlier : startsBefore(image, reference.rva)) {
                if (end - earlier > longestSignature) {
                    break;
                }
                starts.push_back(earlier);
            }
            std::optional<MadeSignature> best;
            for (const std::uint64_t start : starts) {
                if (best && end - start >= best->signature.length()) {
                    break; // starting further back cannot make it shorter
                }
                std::string why;
                std::optional<MadeSignature> signature =
                    signatureFrom(image, start, end, limit, why);
                if (signature &&
                    (!best || signature->signature.length() < best->signature.length())) {
                    best = std::move(signature);
                }
            }
            if (!best) {
                continue;
            }
            const std::size_t offset = static_cast<std::size_t>(reference.rva - best->rva);
            // Followed from its one match as a user of the signature would: it must lead here.
            if (referencedRva(image, best->rva + offset, reference.length, reference.fieldOffset) !=
                place) {
                continue;
            }
            functionsUsed.insert(owner);
            made.push_back({std::move(*best), reference, offset});
        }
    }
    return made;
}

} // namespace scan
