#include "scan/signature/make_signature.hpp"

#include "scan/hex.hpp"
#include "scan/image/function_map.hpp"
#include "scan/image/instructions.hpp"
#include "scan/signature/near.hpp"

#include <algorithm>

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

    // The places a signature, yet to be checked, can match at most: picked from these on its
    // first check instead of being searched for.
    void pickFrom(std::vector<std::uint64_t> candidates) { exact_ = std::move(candidates); }

    // Every place the signature last checked matches, when few enough to keep.
    const std::optional<std::vector<std::uint64_t>>& kept() const { return exact_; }

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
                signature.pattern(), within_, mostKept, &image_.weights);
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

// Whether the inner signature lies within the outer one from `shift` bytes on, each of its fixed
// bytes fixed alike there: wherever the outer one matches, the inner one does too, `shift` bytes
// on.
bool liesWithin(const Signature& inner, const Signature& outer, std::size_t shift) {
    if (shift + inner.length() > outer.length()) {
        return false;
    }
    for (std::size_t j = 0; j < inner.length(); ++j) {
        if (inner.mask[j] == 'x' &&
            (outer.mask[shift + j] != 'x' || outer.bytes[shift + j] != inner.bytes[j])) {
            return false;
        }
    }
    return true;
}

// The places a signature from start can match, from those of one from a later start that lies
// within it: each of those, moved back by the distance between the starts. Empty where that one's
// places were too many to keep, or it does not lie within.
std::optional<std::vector<std::uint64_t>> placesFrom(const FirstPlaces& later, std::uint64_t start,
                                                     const Signature& signature) {
    if (!later.places || later.start <= start ||
        !liesWithin(later.signature, signature, later.start - start)) {
        return std::nullopt;
    }
    const std::size_t shift = later.start - start;
    std::vector<std::uint64_t> places;
    for (const std::uint64_t place : *later.places) {
        if (place >= shift) {
            places.push_back(place - shift);
        }
    }
    return places;
}

// Whether a signature from start lies within an earlier growth's that never matched once:
// wherever that one matches (twice or more), this one matches too.
bool withinNeverOnce(const NeverOnce& earlier, std::uint64_t start, const Signature& signature) {
    return earlier.start < start && liesWithin(signature, earlier.signature, start - earlier.start);
}

} // namespace

Outcome<MadeSignature> growSignature(const ExecutableImage& image, std::uint64_t start,
                                     std::uint64_t through, std::uint64_t limit,
                                     RegisterSet imageBase, std::size_t margin,
                                     MarginMeasure measure, FirstPlaces* known,
                                     NeverOnce* neverOnce) {
    MadeSignature made;
    bool checked = false;
    bool wholeChecked = false; // the signature as grown so far matches twice or more
    const NeverOnce earlier = neverOnce != nullptr ? *neverOnce : NeverOnce{};
    made.rva = start;
    std::optional<MadeSignature> best; // matches once, short of the margin
    Places places(image, std::max<std::size_t>(margin, 1) - 1);
    auto end = [&](std::string why) -> Outcome<MadeSignature> {
        if (best) {
            return std::move(*best);
        }
        if (neverOnce != nullptr && wholeChecked) {
            *neverOnce = {start, made.signature};
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
        wholeChecked = at >= through;
        if (at < through || made.signature.mask.find('x') == std::string::npos ||
            withinNeverOnce(earlier, start, made.signature)) {
            continue;
        }
        if (!checked && known != nullptr) {
            if (std::optional<std::vector<std::uint64_t>> picked =
                    placesFrom(*known, start, made.signature)) {
                places.pickFrom(std::move(*picked));
            }
        }
        const bool once = places.once(made.signature);
        if (!checked && known != nullptr) {
            *known = {start, made.signature, places.kept()};
        }
        checked = true;
        if (once) {
            const std::optional<std::size_t> nearest = places.nearest(made.signature);
            if (!nearest) {
                made.margin = measure == MarginMeasure::upToAsked
                                  ? std::max<std::size_t>(margin, 1)
                                  : marginOf(image.bytes.data(),
                                             static_cast<std::uint32_t>(image.bytes.size()),
                                             made.signature.pattern(), margin, &image.weights);
                return made;
            }
            made.margin = *nearest;
            if (!best || made.margin > best->margin) {
                best = made;
            }
        }
    }
}

Outcome<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva,
                                     std::size_t margin, MarginMeasure measure) {
    return growSignature(image, rva, rva + 1, functionOf(image, rva).end, imageBaseAt(image, rva),
                         margin, measure);
}

std::optional<MadeSignature> makeInteriorSignature(const ExecutableImage& image,
                                                   std::uint64_t place, std::size_t margin,
                                                   std::uint64_t notBefore, MarginMeasure measure) {
    const std::uint64_t limit = functionOf(image, place).end;
    RegisterSet imageBase = imageBaseAt(image, place);
    std::uint64_t at = place;
    NeverOnce grown; // each start's growth skips what an earlier one showed to match twice
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
        if (Outcome<MadeSignature> made = growSignature(image, at, at + 1, limit, imageBase, margin,
                                                        measure, nullptr, &grown)) {
            return std::move(*made);
        }
    }
    return std::nullopt;
}

} // namespace scan
