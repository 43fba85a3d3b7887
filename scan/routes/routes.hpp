#pragma once
// Where the code at a place is not unique, a signature elsewhere leads there: inside its function,
// at an instruction that refers to it, through a jump thunk, or at one that addresses a table
// holding its address; and the routes no code gives (an export's name) or that none can (an
// exception funclet). Each route is checked here as its user will follow it.

#include "scan/engine/engine_entry.hpp"
#include "scan/image/image.hpp"
#include "scan/image/references.hpp"
#include "scan/signature/make_signature.hpp"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace scan {

// A signature over an instruction elsewhere that refers to the place, or over a later instruction
// of the same function: the place is match + instructionOffset + the instruction's length + its
// signed 32-bit relative field.
struct ReferenceSignature {
    MadeSignature made;
    Reference reference;
    // The referring instruction's, from the match: within the signature, or before it (negative).
    std::int64_t instructionOffset = 0;
    // Its relative field's, from the match.
    std::int64_t fieldOffset = 0;
};

// Up to `most` reference signatures for the place, each from another function where the
// references allow, each matching exactly once and resolving to the place.
std::vector<ReferenceSignature>
makeReferenceSignatures(const ExecutableImage& image, std::uint64_t place, std::size_t margin = 1,
                        std::size_t most = 3, MarginMeasure measure = MarginMeasure::exact);

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
                                                std::size_t margin = 1, std::size_t most = 3,
                                                MarginMeasure measure = MarginMeasure::exact);

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
// A signature inside the place's function: the place is its match plus placeOffset (negative).
struct InteriorSignature {
    MadeSignature made;
    std::int64_t placeOffset = 0;
};

// The signature a route is followed from.
inline const MadeSignature& signatureOf(const MadeSignature& made) {
    return made;
}
inline const MadeSignature& signatureOf(const InteriorSignature& route) {
    return route.made;
}
inline const MadeSignature& signatureOf(const ReferenceSignature& route) {
    return route.made;
}
inline const MadeSignature& signatureOf(const ThunkSignature& route) {
    return route.route.made;
}
inline const MadeSignature& signatureOf(const TableSignature& route) {
    return route.route.made;
}

// A route offered to the user, with what its signature is worth as an engine pattern.
template <typename Route> struct Offered {
    Route route;
    Outcome<EngineEntry> enginePattern;
};

struct SignatureRoutes {
    std::uint64_t place = 0;
    Outcome<Offered<MadeSignature>> own; // its error says why there is none
    std::optional<Offered<InteriorSignature>> interior;
    std::optional<FunctionExtent> function; // as the exception directory gives it
    std::vector<std::string> exports = {};
    std::optional<std::uint64_t> funcletParent = std::nullopt;
    bool referencesLooked = false;
    std::vector<Offered<ReferenceSignature>> references = {};
    bool thunksLooked = false;
    std::vector<Offered<ThunkSignature>> thunks = {};
    bool tablesLooked = false;
    std::vector<Offered<TableSignature>> tables = {};

    bool any() const {
        return own || interior || !exports.empty() || !references.empty() || !thunks.empty() ||
               !tables.empty();
    }
};
SignatureRoutes findSignatureRoutes(const ExecutableImage& image, std::uint64_t place,
                                    bool byReference, std::size_t margin = 1);

} // namespace scan
