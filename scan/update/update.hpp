#pragma once
// Carrying a pattern table to a new build of the game: for each entry, the place it finds in the
// old build is found again in the new one, through the pair the two builds' match makes of its
// function and through the agreement of independent anchors, and a signature is made there. A
// place the evidence does not agree on is never reported.

#include "scan/engine/engine_entry.hpp"
#include "scan/error.hpp"
#include "scan/image/image.hpp"
#include "scan/image/instruction_change.hpp"
#include "scan/match/match.hpp"
#include "scan/signature/signature.hpp"
#include "scan/update/bundle.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace scan {

// An entry of a pattern table: the place is the signature's match plus offset, as the plug-in's
// findPattern takes it.
struct TableEntry {
    std::string name;
    std::string text; // the signature as written
    Signature signature;
    std::int32_t offset = 0;
    std::optional<std::size_t> engineSlot; // 0 to 2 for one of the plug-in's own three
    bool readsValue = false;               // its slot keeps the global's value
};

// One entry a line, "NAME SIGNATURE" or "NAME SIGNATURE @OFFSET" (OFFSET decimal or 0x
// hexadecimal, signed); "#" starts a comment, blank lines are skipped. A badArgument error naming
// the line and what is wrong with it; also when no line holds an entry, or a name comes twice.
Outcome<std::vector<TableEntry>> parsePatternTable(std::string_view text);

// The plug-in's three engine patterns as a table: engineGlobal1 to engineGlobal3.
std::vector<TableEntry> enginePatternTable();

struct EntryUpdate {
    enum class Status {
        unchanged, // the old signature still matches once, where the anchors agree
        moved,     // a new signature matches once where the anchors agree
        lost,      // the anchors do not agree, or no signature can be made where they do
        unusable,  // the signature does not match exactly once in the old build
    };
    // Why an entry is lost or unusable, as data: its kind and the RVAs and counts it names, in
    // the order whyText words them.
    struct Reason {
        enum class Kind {
            none,
            notInOld,              // the signature does not match in the old build
            twiceInOld,            // it matches more than once there
            placeNotInCode,        // rvas: the place
            pairedElsewhere,       // rvas: the match's pair, the anchor's function
            tooFewAnchors,         // fewer than 2 anchors could be made in the old build
            tooFewFound,           // count: the anchors found once in the new build
            anchorsDisagree,       // rvas: the functions they lead to
            pairedWithOther,       // rvas: the anchors' function, the old function paired with it
            ownSignatureElsewhere, // rvas: where it matches, where the alignment puts the place
            noCounterpart,         // rvas: the new function
            noSignature,           // rvas: the place in the new build
        };
        Kind kind = Kind::none;
        std::vector<std::uint64_t> rvas = {};
        std::size_t count = 0;
    };
    TableEntry entry;
    Status status = Status::lost;
    Reason reason; // for lost and unusable
    std::optional<std::uint64_t> oldRva;
    std::optional<std::uint64_t> newRva;
    // The signature to use in the new build (the old one when unchanged) and the offset from its
    // match to the place.
    std::optional<Signature> signature;
    std::int64_t offset = 0;
    std::size_t margin = 0;
    Bundle bundle;                                     // as made in the old build
    BundleReading reading;                             // as found in the new one
    std::optional<Outcome<EngineEntry>> enginePattern; // for an engine pattern's new signature
    // What found its function in the new build, once it was found: the two builds' match (with
    // the evidence of that pair), or the agreement of its anchors where the match has no pair
    // for it.
    enum class PlacedBy { nothing, match, anchors };
    PlacedBy placedBy = PlacedBy::nothing;
    EvidenceSet matchEvidence = 0;
    // Where the place is an instruction whose shape the new place keeps, each of its
    // displacements and immediates in both builds (a structure offset, a stack offset, a
    // constant): whether the signature keeps or wildcards it, a changed value is the modder's to
    // take, and the status says only where the place went.
    std::vector<FieldValue> fields;
};

// "the two builds' match", "its anchors"; empty for nothing.
std::string placedByText(EntryUpdate::PlacedBy placedBy);

// "unchanged", "moved", "lost", "unusable".
std::string statusText(EntryUpdate::Status status);

// A reason in words, as the printers and the carried table give it ("its signature matches more
// than once in the old build"); empty for none.
std::string whyText(const EntryUpdate::Reason& reason);
// The reason's kind as JSON names it: "notInOld", "pairedElsewhere", ...
std::string reasonKindText(EntryUpdate::Reason::Kind kind);

// The entry's function is the one the two builds' match pairs its function with, unless an
// anchor found once leads elsewhere; without a pair (an empty match has none), the one its
// anchors agree on, unless the match pairs that one with another function.
EntryUpdate updateEntry(const ExecutableImage& older, const ExecutableImage& newer,
                        const TableEntry& entry, std::size_t margin = defaultMargin,
                        const BuildMatch& match = {});

// Each entry of the table carried from the older build to the newer, the two builds matched
// once for all of them.
std::vector<EntryUpdate> updateTable(const ExecutableImage& older, const ExecutableImage& newer,
                                     const std::vector<TableEntry>& table,
                                     std::size_t margin = defaultMargin,
                                     const Progress& progress = {});

// "field [rcx + 0x49a0] is now [rcx + 0x49b0]", "field 0x10 is unchanged".
std::string fieldText(const FieldValue& field);

// The table carried to the new build, in the table file's syntax and the entries' order: each
// unchanged or moved entry with the signature and offset to use now (and its fields' values as
// comments after it), each lost or unusable one as
// a comment line saying why, with its old line after it, so that no name is dropped unseen.
std::string carriedTable(const std::vector<EntryUpdate>& entries, const std::string& older,
                         const std::string& newer);

} // namespace scan
