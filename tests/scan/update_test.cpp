// A pattern table carried to a new build: the place is found again only where independent anchors
// agree, its instruction by aligning the function's code, and a place they do not agree on is
// never reported; the table file's syntax.

#include "scan/hex.hpp"
#include "scan/update/align.hpp"
#include "scan/update/bundle.hpp"
#include "scan/update/update.hpp"

#include "hand_built.hpp"
#include "pe_file.hpp"
#include "synthetic_game.hpp"

#include <gtest/gtest.h>

#include <algorithm>

using namespace testing_support::pe;
using namespace testing_support::game;

namespace {

// The instruction of to's function at toFunction that stands where the one at place stands in
// from's function at fromFunction, as both builds are read and aligned.
std::optional<std::uint64_t> alignedPlace(const scan::ExecutableImage& from,
                                          std::uint64_t fromFunction, std::uint64_t place,
                                          const scan::ExecutableImage& to,
                                          std::uint64_t toFunction) {
    const scan::BuildFunctions a = scan::readBuildFunctions(from);
    const scan::BuildFunctions b = scan::readBuildFunctions(to);
    const std::optional<scan::Held> held = a.stepAt(place);
    const std::optional<std::uint32_t> fromIndex = a.startingAt(fromFunction);
    const std::optional<std::uint32_t> toIndex = b.startingAt(toFunction);
    if (!held || !fromIndex || !toIndex || held->function != *fromIndex) {
        return std::nullopt;
    }
    return scan::alignStep(a, *fromIndex, held->step, b, *toIndex);
}

scan::TableEntry entryFor(const std::string& text, std::int32_t offset = 0) {
    scan::Outcome<scan::Signature> signature = scan::parseSignature(text);
    EXPECT_TRUE(signature) << text;
    return {"F", text, *signature, offset, std::nullopt, false};
}

TEST(Update, FindsThePlaceWhereTheAnchorsAgreeAndNowhereElse) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    const scan::TableEntry own =
        entryFor(scan::notation(scan::makeSignature(older, oldF)->signature));

    // Moved with its data: the old signature, its fields wildcarded, still holds.
    {
        const scan::ExecutableImage newer = imageOf(programOf(callersProgram(), 0x100, 0x2180));
        const scan::EntryUpdate update = scan::updateEntry(older, newer, own);
        EXPECT_EQ(update.status, scan::EntryUpdate::Status::unchanged)
            << scan::whyText(update.reason);
        EXPECT_EQ(update.newRva, oldF + 0x100);
        EXPECT_EQ(update.reading.found, update.bundle.anchors.size());
    }
    // Its start changed, its callers did not: a new signature, matching once, where they lead.
    {
        const scan::ExecutableImage newer = imageOf(programOf(callersProgram(otherPrologue), 0x40));
        const scan::EntryUpdate update = scan::updateEntry(older, newer, own);
        ASSERT_EQ(update.status, scan::EntryUpdate::Status::moved) << scan::whyText(update.reason);
        EXPECT_EQ(update.newRva, oldF + 0x40);
        EXPECT_GE(update.reading.agreeing, 2u);
        const BytePattern made = update.signature->pattern();
        const PatternMatches matches = newer.countMatches(std::span(&made, 1)).front();
        ASSERT_EQ(matches.count, 1u);
        EXPECT_EQ(newer.rvaOf(matches.lowest.front()) + update.offset, oldF + 0x40);
        EXPECT_NE(scan::notation(*update.signature), own.text);
    }
    // A look-alike of the changed F, which one caller now calls: the anchors disagree, and the
    // entry is lost rather than carried to either.
    {
        std::vector<Function> functions = callersProgram(otherPrologue, "L");
        functions.push_back(loaderOfTheGlobal("L", otherPrologue));
        const scan::ExecutableImage newer = imageOf(programOf(functions));
        const scan::EntryUpdate update = scan::updateEntry(older, newer, own);
        EXPECT_EQ(update.status, scan::EntryUpdate::Status::lost);
        EXPECT_FALSE(update.newRva);
        const std::map<std::string, std::uint32_t> places = placesOf(functions);
        EXPECT_EQ(update.reading.candidates,
                  (std::vector<std::uint64_t>{places.at("F"), places.at("L")}));
    }
    // Unusable in the old build: no match, or several, or a place outside the code (below the
    // image, or in its data).
    const std::pair<const char*, std::int32_t> unusable[] = {{"0F 0B 0F 0B", 0},
                                                             {"CC CC CC CC", 0},
                                                             {"48 89 5C 24 08 57", -0x2000},
                                                             {own.text.c_str(), 0x1000}};
    for (const auto& [text, offset] : unusable) {
        const scan::EntryUpdate update = scan::updateEntry(older, older, entryFor(text, offset));
        EXPECT_EQ(update.status, scan::EntryUpdate::Status::unusable) << text;
        EXPECT_TRUE(update.bundle.anchors.empty());
    }
}

TEST(Update, TheTwoBuildsMatchAndTheAnchorsMustNotPointElsewhere) {
    // F's start changed; its callers' anchors lead to it (0x1080) in the new build. A match of
    // the builds, made by hand, pairs F's function, or another old function with F's new one.
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const scan::ExecutableImage newer = imageOf(programOf(callersProgram(otherPrologue), 0x40));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    const scan::TableEntry own =
        entryFor(scan::notation(scan::makeSignature(older, oldF)->signature));
    const auto pairing = [](std::uint64_t from, std::uint64_t to) {
        scan::BuildMatch match;
        match.pairs.push_back({from, to, false, 0});
        return match;
    };
    struct Case {
        scan::BuildMatch match;
        scan::EntryUpdate::Status status;
        std::string why;
    };
    const Case cases[] = {
        {pairing(oldF, oldF + 0x40), scan::EntryUpdate::Status::moved, ""},
        {pairing(oldF, 0x1000), scan::EntryUpdate::Status::lost,
         "the two builds' match pairs its function with RVA 0x1000, but an anchor found once "
         "leads to RVA 0x1080"},
        {pairing(0x1000, oldF + 0x40), scan::EntryUpdate::Status::lost,
         "its anchors lead to RVA 0x1080, which the two builds' match pairs with the old build's "
         "RVA 0x1000"},
    };
    for (const Case& each : cases) {
        const scan::EntryUpdate update =
            scan::updateEntry(older, newer, own, scan::defaultMargin, each.match);
        EXPECT_EQ(update.status, each.status) << scan::whyText(update.reason);
        EXPECT_EQ(scan::whyText(update.reason), each.why);
    }
}

TEST(Update, AnOldSignatureThatNowMatchesTwiceIsNeverKept) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    const scan::TableEntry own =
        entryFor(scan::notation(scan::makeSignature(older, oldF)->signature));
    const std::size_t length = own.signature.length();
    // The new build as when the entry is unchanged, with a copy of the bytes the old signature
    // matches in the padding before F (its lowest match then elsewhere) or after every function
    // (its lowest match still at the place).
    for (const std::uint32_t copyAt : {0x10u, 0x800u}) {
        PeLayout layout = programOf(callersProgram(), 0x100, 0x2180);
        std::string& code = layout.sections[0].raw;
        const std::uint32_t newF = oldF + 0x100;
        code.replace(copyAt, length, code.substr(newF - textRva, length));
        const scan::ExecutableImage newer = imageOf(layout);
        const scan::EntryUpdate update = scan::updateEntry(older, newer, own);
        ASSERT_EQ(update.status, scan::EntryUpdate::Status::moved)
            << copyAt << ": " << scan::whyText(update.reason);
        EXPECT_EQ(update.newRva, newF);
        const BytePattern made = update.signature->pattern();
        const PatternMatches matches = newer.countMatches(std::span(&made, 1)).front();
        ASSERT_EQ(matches.count, 1u) << copyAt;
        EXPECT_EQ(newer.rvaOf(matches.lowest.front()) + update.offset, newF);
    }
}

TEST(Update, FindsTheInstructionWithinTheFunctionByItsCode) {
    // The place is F's load of the global, 13 bytes in; the new F has one more instruction before
    // it, and a changed start.
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    std::vector<Function> functions = callersProgram(otherPrologue + "48 89 74 24 10 ");
    functions[1].links = {{21, "data"}, {33, "H"}};
    const scan::ExecutableImage newer = imageOf(programOf(functions));
    const std::uint32_t newF = placesOf(functions).at("F");

    EXPECT_EQ(alignedPlace(older, oldF, oldF + 13, newer, newF), newF + 18);
    EXPECT_EQ(alignedPlace(older, oldF, oldF + 5, newer, newF), newF + 5); // push rdi
    EXPECT_FALSE(alignedPlace(older, oldF, oldF, newer, newF));            // its start changed

    const scan::EntryUpdate update =
        scan::updateEntry(older, newer, entryFor("48 8B F9 48 8B 05 ?? ?? ?? ?? 48 8B 58 10", 3));
    EXPECT_EQ(update.oldRva, oldF + 13);
    ASSERT_EQ(update.status, scan::EntryUpdate::Status::unchanged) << scan::whyText(update.reason);
    EXPECT_EQ(update.newRva, newF + 18);
}

TEST(Update, ABundleHoldsOnlyWhenEveryAnchorFoundAgrees) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const scan::BuildFunctions olderRead = scan::readBuildFunctions(older);
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    const scan::Bundle bundle = scan::makeBundle(older, olderRead, oldF);
    ASSERT_EQ(bundle.anchors.size(), scan::mostAnchors);
    EXPECT_EQ(bundle.function, oldF);
    const scan::BundleReading here = scan::readBundle(bundle, older, olderRead);
    EXPECT_EQ(here.function, oldF);
    EXPECT_EQ(here.agreeing, scan::mostAnchors);
    // Independent: the signature inside the function begins past the place's own, which here
    // runs over several instructions, another function beginning as F does.
    std::vector<Function> alike = callersProgram();
    alike.push_back({"B", hexBytes("48 89 5C 24 08 56 C3")});
    const scan::ExecutableImage alikeImage = imageOf(programOf(alike));
    const scan::Bundle apart =
        scan::makeBundle(alikeImage, scan::readBuildFunctions(alikeImage), oldF);
    ASSERT_EQ(apart.anchors[1].kind, scan::Anchor::Kind::inside);
    EXPECT_GT(apart.anchors[0].made.signature.length(), 6u);
    EXPECT_GE(apart.anchors[1].made.rva, oldF + apart.anchors[0].made.signature.length());

    // One anchor alone, however unique, is not enough.
    scan::Bundle one = bundle;
    one.anchors.resize(1);
    EXPECT_FALSE(scan::readBundle(one, older, olderRead).holds());
    // One that leads elsewhere spoils the rest.
    scan::Bundle misled = bundle;
    misled.anchors.back().kind = scan::Anchor::Kind::own;
    const scan::BundleReading reading = scan::readBundle(misled, older, olderRead);
    EXPECT_FALSE(reading.holds());
    EXPECT_EQ(reading.candidates.size(), 2u);
    // Two leaf functions after A: a neighbour of the second would lead to the first, and is
    // not taken.
    std::vector<Function> leaves = callersProgram();
    leaves.insert(leaves.begin() + 1, {{"K", hexBytes("8B 41 08 C3"), {}, true},
                                       {"M", hexBytes("8B 41 10 03 C2 0F AF C1 C3"), {}, true}});
    const scan::ExecutableImage withLeaves = imageOf(programOf(leaves));
    const std::uint32_t leaf = placesOf(leaves).at("M");
    const scan::BuildFunctions leavesRead = scan::readBuildFunctions(withLeaves);
    const scan::Bundle ofLeaf = scan::makeBundle(withLeaves, leavesRead, leaf);
    EXPECT_EQ(ofLeaf.function, leaf);
    EXPECT_EQ(scan::readBundle(ofLeaf, withLeaves, leavesRead).function, leaf);
}

// What the update decides once the anchors agree: whether the old signature is kept, the new
// signature's offset, what an engine pattern may be given, and the margin reported.
TEST(Update, KeepsASignatureOnlyWhereItStillLeadsAndMeasuresItThere) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    // The old start, now at a look-alike that nothing calls, matches once, but not at F. (M,
    // one byte off F's start, makes F's own anchor longer than the entry.)
    {
        const Function m{"M", hexBytes("48 89 5C 24 08 56 48 83 EC 20 48 83 C4 20 5E C3")};
        std::vector<Function> functions = callersProgram();
        functions.push_back(m);
        const scan::ExecutableImage before = imageOf(programOf(functions));
        functions = callersProgram(otherPrologue);
        functions.push_back(m);
        functions.push_back({"L", hexBytes(prologue + "33 C0 48 83 C4 20 5F C3")});
        const scan::ExecutableImage newer = imageOf(programOf(functions));
        const scan::EntryUpdate update =
            scan::updateEntry(before, newer, entryFor("48 89 5C 24 08 57 48 83 EC 20"));
        ASSERT_EQ(update.status, scan::EntryUpdate::Status::moved) << scan::whyText(update.reason);
        EXPECT_EQ(update.newRva, placesOf(functions).at("F"));
    }
    // A place given back from a later instruction (@-10) is carried like any other.
    {
        const scan::ExecutableImage newer = imageOf(programOf(callersProgram(), 0x100, 0x2180));
        const scan::EntryUpdate update = scan::updateEntry(
            older, newer, entryFor("48 8B F9 48 8B 05 ?? ?? ?? ?? 48 8B 58 10", -10));
        EXPECT_EQ(update.oldRva, oldF);
        ASSERT_EQ(update.status, scan::EntryUpdate::Status::unchanged)
            << scan::whyText(update.reason);
        EXPECT_EQ(update.newRva, oldF + 0x100);
        EXPECT_EQ(update.offset, -10);
    }
    // Unchanged, with a copy of its bytes one fixed byte off in the new build: the margin is the
    // new build's, 1.
    {
        const scan::TableEntry own =
            entryFor(scan::notation(scan::makeSignature(older, oldF, 2)->signature));
        PeLayout layout = programOf(callersProgram(), 0x100, 0x2180);
        std::string& code = layout.sections[0].raw;
        std::string copy = code.substr(oldF + 0x100 - textRva, own.signature.length());
        copy[own.signature.mask.find('x')] ^= 1;
        code.replace(0x800, copy.size(), copy);
        const scan::ExecutableImage newer = imageOf(layout);
        const scan::EntryUpdate update = scan::updateEntry(older, newer, own);
        ASSERT_EQ(update.status, scan::EntryUpdate::Status::unchanged)
            << scan::whyText(update.reason);
        EXPECT_EQ(update.margin, 1u) << own.text << " | " << scan::notation(*update.signature)
                                     << " " << update.signature->mask;
    }
}

// F's first 64 bytes come to be shared with a look-alike: no signature starts at F any more, one
// inside it leads back (a negative offset), and one of the plug-in's patterns, which has no
// offset to give, is lost rather than moved elsewhere.
TEST(Update, AnOffsetBackToThePlaceOnlyWhereTheTableCanHoldIt) {
    std::string prefix;
    for (const char* n : {"01", "02", "03", "04", "05", "06", "07", "08", "09", "0A", "0B", "0C",
                          "0D", "0E", "0F", "10"}) {
        prefix += "48 83 C0 " + std::string(n) + " ";
    }
    std::vector<Function> functions = callersProgram();
    functions[1] = {"F", hexBytes(prefix + "B8 78 56 34 12 C3")};
    constexpr std::uint32_t spacing = 0x80;
    const scan::ExecutableImage older = imageOf(programOf(functions, 0, 0x2100, spacing));
    functions.push_back({"L", hexBytes(prefix + "B8 21 43 65 87 C3")});
    const scan::ExecutableImage newer = imageOf(programOf(functions, 0, 0x2100, spacing));
    const std::uint32_t f = placesOf(functions, 0, spacing).at("F");

    scan::TableEntry entry = entryFor(scan::notation(scan::makeSignature(older, f)->signature));
    const scan::EntryUpdate update = scan::updateEntry(older, newer, entry);
    ASSERT_EQ(update.status, scan::EntryUpdate::Status::moved) << scan::whyText(update.reason);
    EXPECT_EQ(update.newRva, f);
    EXPECT_LT(update.offset, 0);
    const BytePattern made = update.signature->pattern();
    const PatternMatches matches = newer.countMatches(std::span(&made, 1)).front();
    ASSERT_EQ(matches.count, 1u);
    EXPECT_EQ(newer.rvaOf(matches.lowest.front()) + static_cast<std::uint64_t>(update.offset), f);

    entry.engineSlot = 0;
    EXPECT_EQ(scan::updateEntry(older, newer, entry).status, scan::EntryUpdate::Status::lost);
}

TEST(Update, ABundleNeedsEveryAnchorFoundToLeadToOneFunction) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const scan::BuildFunctions olderRead = scan::readBuildFunctions(older);
    const std::map<std::string, std::uint32_t> places = placesOf(callersProgram());
    // A caller's call now leads outside the image: the anchor found once spoils the bundle.
    const scan::Bundle bundle = scan::makeBundle(older, olderRead, places.at("F"));
    PeLayout layout = programOf(callersProgram());
    put32(layout.sections[0].raw, places.at("C1") - textRva + 8, 0x7FFFFF00);
    const scan::ExecutableImage misled = imageOf(layout);
    const scan::BundleReading reading =
        scan::readBundle(bundle, misled, scan::readBuildFunctions(misled));
    EXPECT_EQ(reading.found, bundle.anchors.size());
    EXPECT_FALSE(reading.holds());
    // A function nobody calls (G) is still anchored, by its neighbours in the layout.
    const scan::Bundle uncalled = scan::makeBundle(older, olderRead, places.at("G"));
    EXPECT_TRUE(std::any_of(uncalled.anchors.begin(), uncalled.anchors.end(),
                            [](const scan::Anchor& anchor) {
                                return anchor.kind == scan::Anchor::Kind::before ||
                                       anchor.kind == scan::Anchor::Kind::after;
                            }));
    EXPECT_EQ(scan::readBundle(uncalled, older, olderRead).function, places.at("G"));
    // One with two signatures of its own code takes no neighbour: across a major update the
    // layout changes most, and a neighbour that leads one function off would veto the rest.
    std::vector<Function> longer = callersProgram();
    longer[2] = {"G",
                 hexBytes("48 83 EC 28 B9 05 00 00 00 E8 00 00 00 00 B9 07 00 00 00 E8 00 00 00 "
                          "00 BA 09 00 00 00 8B C2 48 83 C4 28 C3"),
                 {{10, "H"}, {20, "H"}}};
    const scan::ExecutableImage withLonger = imageOf(programOf(longer));
    const scan::Bundle own =
        scan::makeBundle(withLonger, scan::readBuildFunctions(withLonger), places.at("G"));
    std::vector<scan::Anchor::Kind> kinds;
    for (const scan::Anchor& anchor : own.anchors) {
        kinds.push_back(anchor.kind);
    }
    EXPECT_EQ(kinds, (std::vector<scan::Anchor::Kind>{scan::Anchor::Kind::own,
                                                      scan::Anchor::Kind::inside}));
}

// The instruction within its function, by the shapes of the instructions round it, every field
// cleared: after data and callees moved far, after a structure offset changed, in functions of
// thousands of instructions, and never into a function that shrank to nothing.
TEST(Update, AlignsTheInstructionWhateverItsFieldsHold) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    const scan::ExecutableImage moved = imageOf(programOf(callersProgram(), 0x300, 0x2A00));
    EXPECT_EQ(alignedPlace(older, oldF, oldF + 13, moved, oldF + 0x300), oldF + 0x300 + 13);
    EXPECT_EQ(alignedPlace(older, oldF, oldF + 27, moved, oldF + 0x300), oldF + 0x300 + 27);

    std::vector<Function> changed = callersProgram();
    changed[1].code[23] = 0x18; // mov rbx, [rax + 0x10] now + 0x18
    const scan::ExecutableImage offset = imageOf(programOf(changed));
    EXPECT_EQ(alignedPlace(older, oldF, oldF + 20, offset, oldF), oldF + 20);

    std::vector<Function> shrunk = callersProgram();
    shrunk[1] = {"F", hexBytes("C3")};
    const scan::ExecutableImage lone = imageOf(programOf(shrunk));
    for (const std::uint32_t at : {0u, 13u, 45u}) {
        EXPECT_FALSE(alignedPlace(older, oldF, oldF + at, lone, oldF)) << at;
    }
    EXPECT_EQ(alignedPlace(older, oldF, oldF + 46, lone, oldF), oldF); // its ret

    // 2 500 instructions of different shapes (register to register, 2 or 3 bytes each), three
    // more at the start of the new one.
    std::vector<std::string> shapes;
    for (const std::string rex : {"", "\x48", "\x4C", "\x49", "\x4D"}) {
        for (const char op : {'\x89', '\x01', '\x29', '\x31', '\x21', '\x09', '\x39', '\x85'}) {
            for (int operands = 0xC0; operands <= 0xFF; ++operands) {
                shapes.push_back(rex + op + static_cast<char>(operands));
            }
        }
    }
    std::vector<std::uint64_t> starts;
    auto longFunction = [&](std::uint32_t extra) {
        std::string code = std::string(extra, '\x53'); // push rbx, no padding
        starts.clear();
        for (std::size_t n = 0; n < 2500; ++n) {
            starts.push_back(textRva + code.size());
            code += shapes[n];
        }
        code += "\xC3\xCC";
        return PeLayout{{{".text", textRva, 0x4000, code}, {".data", 0x5000, 0x1000, "d"}}, 0x6000};
    };
    const scan::ExecutableImage before = imageOf(longFunction(0));
    const std::vector<std::uint64_t> was = starts;
    const scan::ExecutableImage after = imageOf(longFunction(3));
    for (const std::size_t n : {10u, 1200u, 2200u, 2499u}) {
        EXPECT_EQ(alignedPlace(before, textRva, was[n], after, textRva), starts[n]) << n;
    }
    // A run of one shape (mov eax, n: the immediate is cleared) with one more of it in the new
    // function: equally long alignments pair the place with different instructions, and none is
    // taken. Outside the run the place is still known.
    auto runOfOneShape = [](std::uint32_t count) {
        std::string code = hexBytes("48 83 EC 28");
        for (std::uint32_t n = 0; n < count; ++n) {
            code += '\xB8';
            code.resize(code.size() + 4);
            put32(code, code.size() - 4, n);
        }
        return imageOf(layoutOf(code + hexBytes("48 83 C4 28 C3 CC")));
    };
    const scan::ExecutableImage shorter = runOfOneShape(40);
    const scan::ExecutableImage longer = runOfOneShape(41);
    EXPECT_FALSE(alignedPlace(shorter, textRva, textRva + 4 + 5 * 20, longer, textRva));
    EXPECT_EQ(alignedPlace(shorter, textRva, textRva + 4 + 5 * 40, longer, textRva),
              textRva + 4 + 5 * 41);
}

// The carried table keeps every name in its order: each placed entry with the signature to use now
// (which the next update reads back and finds unchanged), each lost one as comment lines.
TEST(Update, TheCarriedTableKeepsEveryNameAndReadsBack) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const scan::ExecutableImage newer = imageOf(programOf(callersProgram(otherPrologue), 0x40));
    std::vector<scan::TableEntry> table;
    const std::pair<const char*, const char*> entries[] = {
        {"start", "48 89 5C 24 08 57 48 83 EC 20 48 8B F9"},
        {"absent", "0F 0B 0F 0B"},
        {"load", "48 8B 05 ?? ?? ?? ?? 48 8B 58 10"}};
    for (const auto& [name, text] : entries) {
        scan::TableEntry entry = entryFor(text, std::string(name) == "load" ? -3 : 0);
        entry.name = name;
        table.push_back(std::move(entry));
    }
    std::vector<scan::EntryUpdate> updates;
    for (const scan::TableEntry& entry : table) {
        updates.push_back(scan::updateEntry(older, newer, entry));
    }
    ASSERT_EQ(updates[1].status, scan::EntryUpdate::Status::unusable);
    const std::string carried = scan::carriedTable(updates, "old.exe", "new.exe");
    for (const auto& [name, text] : entries) {
        EXPECT_NE(carried.find(name), std::string::npos) << name << "\n" << carried;
    }
    EXPECT_NE(carried.find("# absent: unusable, its signature does not match in the old build; it "
                           "was:\n# absent 0F 0B 0F 0B\n"),
              std::string::npos)
        << carried;
    const scan::Outcome<std::vector<scan::TableEntry>> read = scan::parsePatternTable(carried);
    ASSERT_TRUE(read) << read.error().detail;
    ASSERT_EQ(read->size(), 2u);
    EXPECT_EQ((*read)[0].name, "start");
    EXPECT_EQ((*read)[1].name, "load");
    EXPECT_EQ((*read)[1].offset, updates[2].offset);
    for (const scan::TableEntry& entry : *read) {
        const scan::EntryUpdate again = scan::updateEntry(newer, newer, entry);
        EXPECT_EQ(again.status, scan::EntryUpdate::Status::unchanged)
            << entry.name << scan::whyText(again.reason);
        EXPECT_EQ(again.oldRva, updates[entry.name == "start" ? 0 : 2].newRva);
    }
}

TEST(Update, ReadsTheTableFileAndNamesTheLineOfEachMistake) {
    const scan::Outcome<std::vector<scan::TableEntry>> table =
        scan::parsePatternTable("# engine globals\n\n"
                                "first 48 8B 05 ?? ?? ?? ?? 48 85 C0   # the load\n"
                                "\tsecond 48 8D 0D ?? ?? ?? ?? @-12\r\n"
                                "third E8 ?? ?? ?? ?? @0x10\n");
    ASSERT_TRUE(table) << table.error().detail;
    ASSERT_EQ(table->size(), 3u);
    EXPECT_EQ((*table)[0].name, "first");
    EXPECT_EQ((*table)[0].text, "48 8B 05 ?? ?? ?? ?? 48 85 C0");
    EXPECT_EQ((*table)[1].offset, -12);
    EXPECT_EQ((*table)[2].offset, 16);

    const std::pair<const char*, const char*> mistakes[] = {
        {"a 48 8B\nb\n", "--table: line 2: b has no signature"},
        {"a 48 8B\n# c\nc 48 XY\n", "--table: line 3: "},
        {"a 48 8B @twelve\n", "--table: line 1: '@twelve' is no offset"},
        {"a 48 8B @0x80000000\n", "--table: line 1: '@0x80000000' is no offset"},
        {"a 48 8B\na 48 8C\n", "--table: line 2: the name a comes twice"},
        {"# nothing\n\n", "--table: no line holds an entry"},
    };
    for (const auto& [text, message] : mistakes) {
        const scan::Outcome<std::vector<scan::TableEntry>> parsed = scan::parsePatternTable(text);
        ASSERT_FALSE(parsed) << text;
        EXPECT_EQ(parsed.error().kind, scan::Error::Kind::badArgument);
        EXPECT_EQ(parsed.error().detail.rfind(message, 0), 0u) << parsed.error().detail;
        EXPECT_EQ(parsed.error().detail.find('\n'), std::string::npos);
    }
}

// F's end moved out of line into a part of its own (0x100 on), chained to F's entry in the
// exception directory; F uses a string. The new build lies `shift` further on, F's first
// instruction changed.
PeLayout chainedPart(std::uint32_t shift, const char* prologue) {
    std::string code(0x200, '\xCC');
    code.replace(shift, 17,
                 hexBytes(std::string(prologue) + " 48 8D 0D 00 00 00 00 90 90 90 90 90 E9"));
    put32(code, shift + 0x007, 0x4000 - (0x1000 + shift + 0x0B));
    put32(code, shift + 0x011, (0x1100 + shift) - (0x1000 + shift + 0x15));
    code.replace(0x100 + shift, 9, hexBytes("48 83 C4 28 48 8B C3 5B C3"));
    const std::string pdata = withChainedUnwind(
        runtimeFunctions({{0x1000 + shift, 0x1015 + shift}, {0x1100 + shift, 0x1109 + shift}},
                         {0x3100, 0x3110}),
        0x1000 + shift, 0x1015 + shift);
    PeLayout layout = layoutOf(code, {0x3000, 24}, pdata);
    layout.sections.push_back(
        {".rdata", 0x4000, 0x1000, "player health"s + std::string(0x13, '\0'), 0x40000040});
    layout.imageSize = 0x5000;
    return layout;
}

TEST(Update, APlaceInAChainedPartIsCarriedByTheMatchOfItsFunction) {
    const scan::ExecutableImage older = imageOf(chainedPart(0, "48 83 EC 28"));
    const scan::ExecutableImage newer = imageOf(chainedPart(0x40, "48 83 EC 38"));
    const scan::TableEntry entry = entryFor("48 83 C4 28 48 8B C3 5B", 4);
    const scan::BuildMatch match = scan::matchBuilds(older, newer);
    ASSERT_EQ(match.newFunctionOf(0x1000), std::optional<std::uint64_t>(0x1040));
    const scan::EntryUpdate update =
        scan::updateEntry(older, newer, entry, scan::defaultMargin, match);
    ASSERT_EQ(update.status, scan::EntryUpdate::Status::unchanged) << scan::whyText(update.reason);
    EXPECT_EQ(update.newRva, std::optional<std::uint64_t>(0x1144));
    // The part is no function of the match's: its function, F, is, and F's pair placed it.
    EXPECT_EQ(update.placedBy, scan::EntryUpdate::PlacedBy::match);
    // Its bundle speaks of F too: its own signature in the part and one at F's start lead to one
    // function, F.
    const scan::Bundle bundle = scan::makeBundle(older, *match.olderRead, 0x1104);
    EXPECT_EQ(bundle.function, 0x1000u);
    ASSERT_EQ(bundle.anchors.size(), 2u);
    EXPECT_EQ(bundle.anchors[1].made.rva, 0x1000u);
    EXPECT_EQ(scan::readBundle(bundle, older, *match.olderRead).function,
              std::optional<std::uint64_t>(0x1000));
}

// An entry whose instruction's structure offset moved: its place is found by the match and the
// alignment, and it reports the field in both builds, in the carried table too; a field that
// stayed says so.
TEST(Update, AnEntryWhoseFieldMovedReportsBothValues) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const scan::ExecutableImage newer =
        imageOf(programOf(callersProgramRecompiled(), 0x300, 0x2A00));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    const scan::Outcome<std::vector<scan::TableEntry>> table =
        scan::parsePatternTable("Health 48 89 5C 24 08 57 48 83 EC 20 48 8B F9 @20\n"
                                "Frame 48 89 5C 24 08 57 48 83 EC 20 48 8B F9 @6\n");
    ASSERT_TRUE(table);
    const std::vector<scan::EntryUpdate> entries = scan::updateTable(older, newer, *table);
    ASSERT_EQ(entries.size(), 2u);
    const scan::EntryUpdate& health = entries[0];
    ASSERT_TRUE(health.newRva) << scan::whyText(health.reason);
    EXPECT_EQ(*health.newRva, oldF + 0x300 + 20u);
    ASSERT_EQ(health.fields.size(), 1u);
    EXPECT_EQ(health.fields[0].oldValue, 0x10);
    EXPECT_EQ(health.fields[0].newValue, 0x18);
    EXPECT_EQ(scan::fieldText(health.fields[0]), "field [rax + 0x10] is now [rax + 0x18]");
    const scan::EntryUpdate& frame = entries[1]; // sub rsp, 0x20
    ASSERT_EQ(frame.fields.size(), 1u);
    EXPECT_EQ(scan::fieldText(frame.fields[0]), "field 0x20 is unchanged");
    const std::string carried = scan::carriedTable(entries, "old.exe", "new.exe");
    EXPECT_NE(carried.find("# Health: field [rax + 0x10] is now [rax + 0x18]\n"), std::string::npos)
        << carried;
    // The comments leave the table readable as it was.
    EXPECT_TRUE(scan::parsePatternTable(carried));
}

// Two functions too long for one table of the alignment, that differ at both ends (so neither a
// common head nor a common tail shortens them): aligned in blocks along the diagonal, every pair
// made is right, and all but the instructions at a block's edge are paired and fixed.
TEST(Update, AFunctionTooLongForOneTableIsAlignedInBlocksAndNeverWrongly) {
    using testing_support::hand::built;
    using testing_support::hand::code;
    constexpr std::uint32_t n = 3000;
    std::vector<std::uint32_t> longer = {999999};
    for (const std::uint32_t shape : code(1, n - 1)) {
        longer.push_back(shape);
    }
    longer.push_back(888888);
    const scan::BuildFunctions older = built({{"F", code(1, n)}});
    const scan::BuildFunctions newer = built({{"F", longer}});
    ASSERT_GT(std::size_t{n} * (n + 1), scan::matchPolicy.mostCells);
    const std::vector<scan::AlignedPair> pairs = scan::alignFunctions(older, 0, newer, 0);
    std::size_t fixed = 0;
    for (const scan::AlignedPair& pair : pairs) {
        ASSERT_EQ(pair.j, pair.i + 1) << pair.i; // shape k stands at k - 1 and at k
        fixed += pair.fixed ? 1 : 0;
    }
    EXPECT_GE(pairs.size(), n - 1 - 4);
    EXPECT_GE(fixed, n - 1 - 4);
}

// One anchor found once is enough to veto the match: in the new build F's own signature is gone
// and C1 now looks like C2, so only the signature inside F is found once, and it leads to F's new
// function. A match that pairs F elsewhere loses the entry; the match that pairs it there places
// it, though fewer than two anchors were found.
TEST(Update, AnAnchorFoundOnceVetoesTheMatchEvenWhenItIsTheOnlyOneFound) {
    const scan::ExecutableImage older = imageOf(programOf(callersProgram()));
    const std::uint32_t oldF = placesOf(callersProgram()).at("F");
    std::vector<Function> changed = callersProgram(otherPrologue);
    changed[3] = caller("C1", "F", true);
    const scan::ExecutableImage newer = imageOf(programOf(changed, 0x40));
    const scan::TableEntry own =
        entryFor(scan::notation(scan::makeSignature(older, oldF)->signature));
    for (const std::uint64_t pairedWith : {std::uint64_t{0x1000}, std::uint64_t{oldF + 0x40}}) {
        scan::BuildMatch match;
        match.pairs.push_back({oldF, pairedWith, false, 0});
        const scan::EntryUpdate update =
            scan::updateEntry(older, newer, own, scan::defaultMargin, match);
        ASSERT_EQ(update.reading.found, 1u);
        if (pairedWith == 0x1000) {
            EXPECT_EQ(update.status, scan::EntryUpdate::Status::lost);
            EXPECT_EQ(update.reason.kind, scan::EntryUpdate::Reason::Kind::pairedElsewhere);
            EXPECT_EQ(update.reason.rvas, (std::vector<std::uint64_t>{0x1000, oldF + 0x40}));
        } else {
            EXPECT_EQ(update.newRva, std::optional<std::uint64_t>(oldF + 0x40))
                << scan::whyText(update.reason);
            EXPECT_EQ(update.placedBy, scan::EntryUpdate::PlacedBy::match);
        }
    }
}

} // namespace
