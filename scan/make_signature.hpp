#pragma once
// Signatures for the instruction at an RVA: what a plug-in developer adds to the pattern table when
// a game update broke a pattern and the instruction was found again. Where the code at the place
// is not unique, a signature elsewhere leads there: inside its function, at an instruction that
// refers to it, or at one that addresses a table holding its address.

#include "scan/error.hpp"
#include "scan/image.hpp"
#include "scan/references.hpp"
#include "scan/signature.hpp"

#include <optional>
#include <string>
#include <vector>

namespace scan {

// Longest signature looked for, in bytes.
inline constexpr std::size_t longestSignature = 64;

struct MadeSignature {
    Signature signature;
    std::uint64_t rva = 0;                 // the one place it matches
    std::vector<std::string> instructions; // the text of each instruction it covers
    std::size_t margin = 0;                // as marginOf measures it (near.hpp)
};

// The margin a made signature is grown to by default: a game update that changes one byte
// elsewhere cannot make it match a second place.
inline constexpr std::size_t defaultMargin = 2;

// A badArgument error when no signature can be made at the RVA: it lies outside every executable
// section (the error names the section it falls in).
std::optional<Error> refuseSignatureAt(const ExecutableImage& image, std::uint64_t rva);

// The shortest signature that starts at rva, is made of whole instructions, stays inside its
// function (where the exception directory gives the function's extent) and matches exactly once
// in the image. Every byte is wildcarded that a relink or moved data changes: RIP-relative
// displacements and relative branch targets; displacements and immediates of 4 or more bytes
// holding an address inside the image (which the relocation table fixes up); and 32-bit
// displacements added to a register that holds the image base there (image-relative addressing,
// see image_base.hpp). Every other structure or stack offset stays fixed. A notFound error, with
// the reason, when there is none within longestSignature bytes or the function, or an
// instruction cannot be decoded there. Every signature made is grown by whole instructions, within
// the same bounds, until its margin is at least `margin`; where none reaches it, the one with the
// widest margin within reach, the shortest of those. The same holds for every route below.
Outcome<MadeSignature> makeSignature(const ExecutableImage& image, std::uint64_t rva,
                                     std::size_t margin = 1);

// Where the code at the place occurs elsewhere too, a signature that starts at a later
// instruction of the same function, of those within the function's first mostInterior
// instructions from the place (those from notBefore on, where given): the place is its match
// minus (rva - place).
inline constexpr std::size_t mostInterior = 24;
std::optional<MadeSignature> makeInteriorSignature(const ExecutableImage& image,
                                                   std::uint64_t place, std::size_t margin = 1,
                                                   std::uint64_t notBefore = 0);

// A signature over an instruction elsewhere that refers to the place, or over a later instruction
// of the same function: the place is match + instructionOffset + the instruction's length + its
// signed 32-bit relative field.
struct ReferenceSignature {
    MadeSignature made;
    Reference reference;
    // The referring instruction's, from the match: within the signature, or before it (negative).
    std::int64_t instructionOffset = 0;
};

// Up to `most` reference signatures for the place, each from another function where the
// references allow, each matching exactly once and resolving to the place.
std::vector<ReferenceSignature> makeReferenceSignatures(const ExecutableImage& image,
                                                        std::uint64_t place, std::size_t margin = 1,
                                                        std::size_t most = 3);

// A signature over an instruction that addresses a table (a virtual table or a table of
// functions) one of whose slots holds the place's address: the place is the 8-byte value at the
// table plus slotOffset, minus the image base; the table is where the instruction's relative
// field leads (match + instructionOffset + its length + the field).
struct TableSignature {
    ReferenceSignature route; // the instruction addressing the table
    std::uint64_t tableRva = 0;
    std::uint64_t slotOffset = 0;
};

// Up to `most` table signatures for the place, each from another function where the references
// allow, each matching exactly once and leading to the place through the table.
std::vector<TableSignature> makeTableSignatures(const ExecutableImage& image, std::uint64_t place,
                                                std::size_t margin = 1, std::size_t most = 3);

// A signature over an instruction that refers to a jump thunk of the place (a lone jmp rel32
// standing for it, as an incremental linker's table of thunks holds, or a function that only jumps
// on): the thunk is where the instruction's relative field leads (match + instructionOffset + its
// length + the field), and the place is where the thunk's jump leads (thunk + 5 + the signed
// 32-bit value at thunk + 1).
struct ThunkSignature {
    ReferenceSignature route; // the instruction referring to the thunk
    std::uint64_t thunkRva = 0;
};

// Up to `most` thunk signatures for the place, each from another function where the references
// allow, each matching exactly once and leading to the place through its thunk.
std::vector<ThunkSignature> makeThunkSignatures(const ExecutableImage& image, std::uint64_t place,
                                                std::size_t margin = 1, std::size_t most = 3);

// Every route to the place the policy offers: its own signature; failing that, one inside its
// function; failing that, or when asked, by reference, and where no reference serves, through a
// jump thunk; and failing all of them, or when asked, through a table. Beside them, the names the
// export table gives the place (GetProcAddress finds it by any), and where no code leads to it,
// whether it is an exception funclet, which only its parent's exception data names.
struct SignatureRoutes {
    Outcome<MadeSignature> own;
    std::optional<MadeSignature> interior;
    std::optional<FunctionExtent> function;
    std::vector<std::string> exports = {};
    std::optional<std::uint64_t> funcletParent = std::nullopt;
    bool referencesLooked = false;
    std::vector<ReferenceSignature> references = {};
    bool thunksLooked = false;
    std::vector<ThunkSignature> thunks = {};
    bool tablesLooked = false;
    std::vector<TableSignature> tables = {};

    bool any() const {
        return own || interior || !exports.empty() || !references.empty() || !thunks.empty() ||
               !tables.empty();
    }
};
SignatureRoutes findSignatureRoutes(const ExecutableImage& image, std::uint64_t place,
                                    bool byReference, std::size_t margin = 1);

} // namespace scan
