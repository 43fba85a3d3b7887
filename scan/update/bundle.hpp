#pragma once
// A bundle: several independent anchors for one place, so that a game update which breaks or
// misleads one of them is outvoted rather than followed. Each anchor is a signature with the way
// the place's function follows from its one match; a bundle holds in a build only when at least
// two anchors are found once each and every one found leads to the same function. Functions are
// the build's as it was read: a place in a function's part lies in the function.

#include "scan/image/build_functions.hpp"
#include "scan/image/image.hpp"
#include "scan/routes/routes.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scan {

struct Anchor {
    enum class Kind {
        own,       // the place's own signature
        inside,    // a signature elsewhere in the place's function
        reference, // an instruction of another function that refers to the function
        table,     // an instruction that addresses a table holding the function's address
        before,    // the start of a function laid out shortly before it
        after,     // the start of a function laid out shortly after it
    };
    Kind kind = Kind::own;
    MadeSignature made;
    // reference, table: the referring instruction, at match + instructionOffset.
    std::int64_t instructionOffset = 0;
    std::size_t length = 0;
    std::size_t fieldOffset = 0;
    std::uint64_t slotOffset = 0; // table: the slot's, from where the field leads
    // before, after: how many functions lie between in the layout, plus one.
    std::size_t steps = 1;
};

// "own signature", "signature inside the function", "reference", "table", "function before",
// "function after".
std::string kindText(Anchor::Kind kind);

struct Bundle {
    std::uint64_t place = 0;
    std::uint64_t function = 0; // the start of the place's function (where it was read)
    std::vector<Anchor> anchors;
};

// Up to mostAnchors anchors for the place, each matching once in the image and leading to the
// place's function: its own signature, one elsewhere in its function (at the function's start,
// or after the place where the place is the start), then references from different functions
// and tables, and only where fewer than two of those could be made, its neighbours in the layout
// (which a patch seldom parts, but a major update often does, and a neighbour one function off
// would veto the rest); each with at least the margin asked for where one within reach has it,
// and each seen to lead to the function here.
inline constexpr std::size_t mostAnchors = 4;
Bundle makeBundle(const ExecutableImage& image, const BuildFunctions& functions,
                  std::uint64_t place, std::size_t margin = defaultMargin);

// What a bundle finds in a build.
struct BundleReading {
    // Each anchor beside what it found.
    struct Found {
        Anchor anchor;
        std::uint64_t matches = 0;
        std::optional<std::uint64_t> match;    // when it matches once
        std::optional<std::uint64_t> function; // the function it leads to from there
    };
    std::vector<Found> anchors;            // the bundle's, in its order
    std::size_t found = 0;                 // anchors found once
    std::size_t agreeing = 0;              // of those, leading to the function most of them lead to
    std::optional<std::uint64_t> function; // that function, when the bundle holds
    std::vector<std::uint64_t> candidates; // every function one leads to, ascending

    bool holds() const { return function.has_value(); }
};
BundleReading readBundle(const Bundle& bundle, const ExecutableImage& image,
                         const BuildFunctions& functions);

} // namespace scan
