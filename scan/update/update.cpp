#include "scan/update/update.hpp"

#include "engine/pattern.hpp"
#include "scan/hex.hpp"
#include "scan/image/instructions.hpp"
#include "scan/number.hpp"
#include "scan/signature/near.hpp"
#include "scan/update/align.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <set>
#include <variant>

namespace scan {

namespace {

Error lineError(std::size_t line, const std::string& what) {
    return {Error::Kind::badArgument, "--table: line " + std::to_string(line) + ": " + what};
}

std::optional<std::uint64_t> onceAt(const ExecutableImage& image, const Signature& signature) {
    const BytePattern pattern = signature.pattern();
    const PatternMatches matches = image.countMatches(std::span(&pattern, 1), 2).front();
    if (matches.count != 1) {
        return std::nullopt;
    }
    return image.rvaOf(matches.lowest.front());
}

// A match plus the entry's offset, as the plug-in's findPattern takes it; below the image it
// wraps round to an RVA no section holds.
std::uint64_t offsetFrom(std::uint64_t match, std::int32_t offset) {
    return match + static_cast<std::uint64_t>(static_cast<std::int64_t>(offset));
}

using Reason = EntryUpdate::Reason;

// Why the bundle does not hold in the new build.
Reason disagreement(const BundleReading& reading) {
    if (reading.found < 2) {
        return {Reason::Kind::tooFewFound, {}, reading.found};
    }
    return {Reason::Kind::anchorsDisagree, reading.candidates};
}

// The two builds' match, with the functions both builds were read as (read here where the
// match holds none: an empty match pairs nothing, and the anchors alone find the function). A
// place in a function's part lies in the function, whose pair is the match's.
struct Carried {
    const BuildMatch& match;
    std::shared_ptr<const BuildFunctions> older;
    std::shared_ptr<const BuildFunctions> newer;

    Carried(const ExecutableImage& olderImage, const ExecutableImage& newerImage,
            const BuildMatch& builds)
        : match(builds), older(builds.olderRead), newer(builds.newerRead) {
        if (!older || !newer) {
            BothRead read = readBoth(olderImage, newerImage);
            older = std::move(read.older);
            newer = std::move(read.newer);
        }
    }
};

// The new build's function for the old one (see updateEntry), or why it has none.
std::variant<std::uint64_t, Reason>
newFunctionFor(std::uint64_t oldFunction, const EntryUpdate& update, const Carried& carried) {
    const BuildMatch& match = carried.match;
    if (const std::optional<std::uint64_t> paired = match.newFunctionOf(oldFunction)) {
        for (const std::uint64_t candidate : update.reading.candidates) {
            if (candidate != *paired) {
                return Reason{Reason::Kind::pairedElsewhere, {*paired, candidate}};
            }
        }
        return *paired;
    }
    if (!update.reading.holds()) {
        return update.bundle.anchors.size() < 2 ? Reason{Reason::Kind::tooFewAnchors}
                                                : disagreement(update.reading);
    }
    const std::uint64_t agreed = *update.reading.function;
    if (const std::optional<std::uint64_t> other = match.oldFunctionOf(agreed);
        other && *other != oldFunction) {
        return Reason{Reason::Kind::pairedWithOther, {agreed, *other}};
    }
    return agreed;
}

EntryUpdate updateWith(const ExecutableImage& older, const ExecutableImage& newer,
                       const TableEntry& entry, std::size_t margin, const Carried& carried);

} // namespace

Outcome<std::vector<TableEntry>> parsePatternTable(std::string_view text) {
    std::vector<TableEntry> entries;
    std::set<std::string, std::less<>> names;
    std::size_t number = 0;
    while (!text.empty()) {
        const std::size_t newline = text.find('\n');
        std::string_view line = text.substr(0, newline);
        text.remove_prefix(newline == std::string_view::npos ? text.size() : newline + 1);
        ++number;
        line = line.substr(0, line.find('#'));
        std::vector<std::string_view> tokens;
        for (std::size_t at = 0; at < line.size();) {
            const std::size_t begin = line.find_first_not_of(" \t\r", at);
            if (begin == std::string_view::npos) {
                break;
            }
            const std::size_t end = std::min(line.find_first_of(" \t\r", begin), line.size());
            tokens.push_back(line.substr(begin, end - begin));
            at = end;
        }
        if (tokens.empty()) {
            continue;
        }
        TableEntry entry;
        entry.name = std::string(tokens.front());
        if (names.contains(entry.name)) {
            return lineError(number, "the name " + entry.name + " comes twice");
        }
        tokens.erase(tokens.begin());
        if (!tokens.empty() && tokens.back().starts_with('@')) {
            const Outcome<std::int64_t> offset = parseSigned(
                tokens.back().substr(1), std::numeric_limits<std::int32_t>::min(),
                std::numeric_limits<std::int32_t>::max(),
                "'" + std::string(tokens.back()) +
                    "' is no offset: write @ and a signed decimal or 0x hexadecimal number of 32 "
                    "bits (@-12, @0x40)");
            if (!offset) {
                return lineError(number, offset.error().detail);
            }
            entry.offset = static_cast<std::int32_t>(*offset);
            tokens.pop_back();
        }
        for (const std::string_view token : tokens) {
            entry.text += (entry.text.empty() ? "" : " ") + std::string(token);
        }
        if (tokens.empty()) {
            return lineError(number, entry.name + " has no signature: write NAME SIGNATURE or "
                                                  "NAME SIGNATURE @OFFSET");
        }
        Outcome<Signature> signature = parseSignature(entry.text);
        if (!signature) {
            return lineError(number, signature.error().detail);
        }
        entry.signature = std::move(*signature);
        names.insert(entry.name);
        entries.push_back(std::move(entry));
    }
    if (entries.empty()) {
        return Error{Error::Kind::badArgument, "--table: no line holds an entry"};
    }
    return entries;
}

std::vector<TableEntry> enginePatternTable() {
    std::vector<TableEntry> entries;
    for (std::size_t n = 0; n < enginePatterns.size(); ++n) {
        const EnginePattern& pattern = enginePatterns[n];
        Signature signature{std::string(pattern.bytes, std::strlen(pattern.mask)), pattern.mask};
        entries.push_back({"engineGlobal" + std::to_string(n + 1), notation(signature),
                           std::move(signature), 0, n, pattern.readsValue});
    }
    return entries;
}

std::string carriedTable(const std::vector<EntryUpdate>& entries, const std::string& older,
                         const std::string& newer) {
    const auto line = [](const std::string& name, const std::string& signature,
                         std::int64_t offset) {
        return name + " " + signature + (offset == 0 ? "" : " @" + std::to_string(offset)) + "\n";
    };
    std::string table = "# carried by orvelin-scan update from " + older + " to " + newer + "\n";
    for (const EntryUpdate& update : entries) {
        if (update.signature) {
            table += line(update.entry.name, notation(*update.signature), update.offset);
            for (const FieldValue& field : update.fields) {
                table += "# " + update.entry.name + ": " + fieldText(field) + "\n";
            }
        } else {
            table += "# " + update.entry.name + ": " + statusText(update.status) + ", " +
                     whyText(update.reason) + "; it was:\n# " +
                     line(update.entry.name, update.entry.text, update.entry.offset);
        }
    }
    return table;
}

std::string fieldText(const FieldValue& field) {
    return "field " + field.oldOperand +
           (field.oldValue == field.newValue ? " is unchanged" : " is now " + field.newOperand);
}

std::string statusText(EntryUpdate::Status status) {
    switch (status) {
    case EntryUpdate::Status::unchanged:
        return "unchanged";
    case EntryUpdate::Status::moved:
        return "moved";
    case EntryUpdate::Status::lost:
        return "lost";
    case EntryUpdate::Status::unusable:
        return "unusable";
    }
    return "";
}

std::string whyText(const EntryUpdate::Reason& reason) {
    const auto rva = [&](std::size_t n) {
        return n < reason.rvas.size() ? hex(reason.rvas[n]) : std::string("?");
    };
    switch (reason.kind) {
    case Reason::Kind::none:
        return "";
    case Reason::Kind::notInOld:
        return "its signature does not match in the old build";
    case Reason::Kind::twiceInOld:
        return "its signature matches more than once in the old build";
    case Reason::Kind::placeNotInCode:
        return "its place, RVA " + rva(0) + ", lies in no code of the old build";
    case Reason::Kind::pairedElsewhere:
        return "the two builds' match pairs its function with RVA " + rva(0) +
               ", but an anchor found once leads to RVA " + rva(1);
    case Reason::Kind::tooFewAnchors:
        return "fewer than 2 anchors can be made for it in the old build";
    case Reason::Kind::tooFewFound:
        return std::to_string(reason.count) +
               " of its anchors found once in the new build; at least 2 must agree";
    case Reason::Kind::anchorsDisagree: {
        std::string places;
        for (const std::uint64_t candidate : reason.rvas) {
            places += (places.empty() ? "" : ", ") + hex(candidate);
        }
        return "its anchors found once lead to different functions (RVA " + places +
               ") or outside the image";
    }
    case Reason::Kind::pairedWithOther:
        return "its anchors lead to RVA " + rva(0) +
               ", which the two builds' match pairs with the old build's RVA " + rva(1);
    case Reason::Kind::ownSignatureElsewhere:
        return "its own signature matches at RVA " + rva(0) +
               ", but the function's instructions align it with RVA " + rva(1);
    case Reason::Kind::noCounterpart:
        return "its function was found at RVA " + rva(0) +
               ", but its instruction has no counterpart there";
    case Reason::Kind::noSignature:
        return "no signature leads to RVA " + rva(0) + " in the new build";
    }
    return "";
}

std::string reasonKindText(EntryUpdate::Reason::Kind kind) {
    switch (kind) {
    case Reason::Kind::none:
        return "";
    case Reason::Kind::notInOld:
        return "notInOld";
    case Reason::Kind::twiceInOld:
        return "twiceInOld";
    case Reason::Kind::placeNotInCode:
        return "placeNotInCode";
    case Reason::Kind::pairedElsewhere:
        return "pairedElsewhere";
    case Reason::Kind::tooFewAnchors:
        return "tooFewAnchors";
    case Reason::Kind::tooFewFound:
        return "tooFewFound";
    case Reason::Kind::anchorsDisagree:
        return "anchorsDisagree";
    case Reason::Kind::pairedWithOther:
        return "pairedWithOther";
    case Reason::Kind::ownSignatureElsewhere:
        return "ownSignatureElsewhere";
    case Reason::Kind::noCounterpart:
        return "noCounterpart";
    case Reason::Kind::noSignature:
        return "noSignature";
    }
    return "";
}

std::vector<EntryUpdate> updateTable(const ExecutableImage& older, const ExecutableImage& newer,
                                     const std::vector<TableEntry>& table, std::size_t margin,
                                     const Progress& progress) {
    const BuildMatch match = matchBuilds(older, newer, progress);
    const Carried carried(older, newer, match);
    // Each entry is carried on its own (its signatures made and searched for in whole builds),
    // so two are carried at a time; each lands in its own slot, in the table's order.
    std::vector<EntryUpdate> entries(table.size());
    std::uint64_t done = 0;
    std::mutex telling;
    eachSideBySide(table.size(), [&](std::size_t k) {
        entries[k] = updateWith(older, newer, table[k], margin, carried);
        if (progress) {
            const std::lock_guard<std::mutex> lock(telling);
            progress("carrying entries", ++done, table.size());
        }
    });
    return entries;
}

std::string placedByText(EntryUpdate::PlacedBy placedBy) {
    switch (placedBy) {
    case EntryUpdate::PlacedBy::match:
        return "the two builds' match";
    case EntryUpdate::PlacedBy::anchors:
        return "its anchors";
    case EntryUpdate::PlacedBy::nothing:
        break;
    }
    return "";
}

EntryUpdate updateEntry(const ExecutableImage& older, const ExecutableImage& newer,
                        const TableEntry& entry, std::size_t margin, const BuildMatch& match) {
    return updateWith(older, newer, entry, margin, Carried(older, newer, match));
}

namespace {

EntryUpdate updateWith(const ExecutableImage& older, const ExecutableImage& newer,
                       const TableEntry& entry, std::size_t margin, const Carried& carried) {
    EntryUpdate update;
    update.entry = entry;
    auto end = [&](EntryUpdate::Status status, Reason reason) {
        update.status = status;
        update.reason = std::move(reason);
        return std::move(update);
    };
    const BytePattern pattern = entry.signature.pattern();
    const PatternMatches inOld = older.countMatches(std::span(&pattern, 1), 2).front();
    if (inOld.count != 1) {
        return end(EntryUpdate::Status::unusable,
                   {inOld.count == 0 ? Reason::Kind::notInOld : Reason::Kind::twiceInOld});
    }
    const std::uint64_t place = offsetFrom(older.rvaOf(inOld.lowest.front()), entry.offset);
    update.oldRva = place;
    if (!older.inCode(place)) {
        return end(EntryUpdate::Status::unusable, {Reason::Kind::placeNotInCode, {place}});
    }
    update.bundle = makeBundle(older, *carried.older, place, margin);
    update.reading = readBundle(update.bundle, newer, *carried.newer);
    // The function holding the place as both builds were read: a part's function, not the part.
    const std::optional<Held> held = carried.older->stepAt(place);
    const std::uint64_t matchedFunction = update.bundle.function;
    const std::variant<std::uint64_t, Reason> paired =
        newFunctionFor(matchedFunction, update, carried);
    if (const Reason* why = std::get_if<Reason>(&paired)) {
        return end(EntryUpdate::Status::lost, *why);
    }
    const std::uint64_t function = std::get<std::uint64_t>(paired);
    const FunctionPair* pair = carried.match.pairOf(matchedFunction);
    const EntryUpdate::PlacedBy placedBy =
        pair != nullptr ? EntryUpdate::PlacedBy::match : EntryUpdate::PlacedBy::anchors;
    // The place within the function: by aligning the two builds' instructions as they were
    // read, and where its own anchor was found, there too.
    const std::optional<std::uint32_t> newIndex = carried.newer->startingAt(function);
    std::optional<std::uint64_t> newPlace;
    if (place == matchedFunction) {
        newPlace = function;
    } else if (held && newIndex) {
        newPlace = alignStep(*carried.older, held->function, held->step, *carried.newer, *newIndex);
    }
    for (const BundleReading::Found& found : update.reading.anchors) {
        if (found.anchor.kind != Anchor::Kind::own || !found.match) {
            continue;
        }
        if (newPlace && *newPlace != *found.match) {
            return end(EntryUpdate::Status::lost,
                       {Reason::Kind::ownSignatureElsewhere, {*found.match, *newPlace}});
        }
        newPlace = found.match;
    }
    if (!newPlace) {
        return end(EntryUpdate::Status::lost, {Reason::Kind::noCounterpart, {function}});
    }
    update.newRva = *newPlace;
    update.placedBy = placedBy;
    update.matchEvidence = pair != nullptr ? pair->evidence : EvidenceSet{0};
    if (const std::optional<std::uint64_t> match = onceAt(newer, entry.signature);
        match && offsetFrom(*match, entry.offset) == *newPlace) {
        update.status = EntryUpdate::Status::unchanged;
        update.signature = entry.signature;
        update.offset = entry.offset;
        update.margin = marginOf(newer.bytes.data(), static_cast<std::uint32_t>(newer.bytes.size()),
                                 pattern, 1, &newer.weights);
    } else {
        std::optional<MadeSignature> made;
        if (Outcome<MadeSignature> own = makeSignature(newer, *newPlace, margin)) {
            made = std::move(*own);
        } else if (!entry.engineSlot) {
            made = makeInteriorSignature(newer, *newPlace, margin);
        }
        // Followed from its one match in the new build, it must lead to the place.
        if (!made || onceAt(newer, made->signature) != made->rva) {
            return end(EntryUpdate::Status::lost, {Reason::Kind::noSignature, {*newPlace}});
        }
        // A signature that matches once at the place where the old one does not is another.
        update.status = EntryUpdate::Status::moved;
        update.signature = made->signature;
        update.offset = static_cast<std::int64_t>(*newPlace) - static_cast<std::int64_t>(made->rva);
        update.margin = made->margin;
    }
    if (entry.engineSlot) {
        update.enginePattern = fitAsEnginePattern(newer, *update.signature, *newPlace);
    }
    const std::optional<Instruction> oldOne = instructionAt(older, place);
    const std::optional<Instruction> newOne = instructionAt(newer, *newPlace);
    if (oldOne && newOne &&
        clearedBytes(older.bytes.data() + place, *oldOne, Cleared::every) ==
            clearedBytes(newer.bytes.data() + *newPlace, *newOne, Cleared::every)) {
        update.fields = fieldValues(*oldOne, *newOne, true);
    }
    return update;
}

} // namespace

} // namespace scan
