#pragma once
// A game executable read from disk and laid out as the Windows loader lays it out in memory (a
// PE32+ image: headers, then each section at its virtual address, zero-filled up to
// SizeOfImage), with its sections and the functions its exception directory describes.

#include "pattern/pattern.hpp"
#include "pattern/relative.hpp"
#include "scan/error.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace scan {

// Zero-filled bytes for an image, taken from fresh pages (platform::allocatePages) rather than
// cleared byte by byte: a large image is mostly written once or never.
class Bytes {
public:
    explicit Bytes(std::size_t size = 0);
    ~Bytes();
    Bytes(Bytes&& other) noexcept;
    Bytes& operator=(Bytes&& other) noexcept;
    Bytes(const Bytes&) = delete;
    Bytes& operator=(const Bytes&) = delete;

    unsigned char* data() { return data_; }
    const unsigned char* data() const { return data_; }
    std::size_t size() const { return size_; }
    unsigned char operator[](std::size_t at) const { return data_[at]; }

private:
    unsigned char* data_ = nullptr;
    std::size_t size_ = 0;
};

struct Section {
    std::string name;
    std::uint32_t virtualAddress = 0;
    std::uint32_t span = 0;  // bytes the section takes in the image
    bool executable = false; // holds code
    bool writable = false;   // its bytes change as the program runs: what they hold on disk is
                             // no constant
};

// A function's extent, as the exception directory gives it: [begin, end) in RVAs, and where its
// unwind information lies (0 where unknown).
struct FunctionExtent {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    std::uint32_t unwind = 0;
};

// A name the export table gives a place in the image.
struct Export {
    std::uint32_t rva = 0;
    std::string name;
};

// A function imported from another module: the slot of the import address table the loader
// fills with its address, and "module!name" (the module in lower case; "#N" for an ordinal).
struct Import {
    std::uint32_t slot = 0;
    std::string name;
};

struct ExecutableImage {
    Bytes bytes; // SizeOfImage bytes
    std::uint32_t headersSize = 0;
    std::uint32_t entryPoint = 0; // its RVA
    std::uint64_t imageBase = 0;  // where the image prefers to be loaded
    std::vector<Section> sections;
    // The functions the exception directory describes, by ascending begin; empty when it has
    // none (code without unwind information, or no directory at all). A part chained to the
    // function that ends where it begins is read into that function's extent.
    std::vector<FunctionExtent> functions;
    // The export table's names, by ascending RVA (forwarders to other modules left out).
    std::vector<Export> exports;
    // The import table's functions, by ascending slot.
    std::vector<Import> imports;

    // The section holding the relative virtual address; null when none does.
    const Section* sectionOf(std::uint64_t rva) const;
    // Name of the section holding the relative virtual address; empty when none does.
    std::string sectionAt(std::uint64_t rva) const;
    // The names the export table gives the RVA, in the table's order.
    std::vector<std::string> exportsAt(std::uint64_t rva) const;
    // The import whose address-table slot is at the RVA; null when none is.
    const Import* importAt(std::uint64_t rva) const;
    // The function whose extent holds the RVA; empty when the exception directory names none.
    std::optional<FunctionExtent> functionAt(std::uint64_t rva) const;
    // Where the code holding the RVA begins, as far as the image tells: its function's start,
    // else (a leaf function, which has no entry) the end of the function before it, else its
    // section's start.
    std::uint64_t codeStartBefore(std::uint64_t rva) const;
    // Where the code holding the RVA ends, as far as the image tells: its function's end, else
    // the next function's start or its section's end, whichever comes first.
    std::uint64_t codeEndAfter(std::uint64_t rva) const;

    // How common each byte is here, weighed once for every scan of the image.
    ByteWeights weights{};

    // Every place each pattern matches, counting no further than stopAt, and the lowest
    // listedMatches of them in ascending order.
    std::vector<PatternMatches> countMatches(std::span<const BytePattern> patterns,
                                             std::uint64_t stopAt = UINT64_MAX) const;
    std::uint64_t rvaOf(const unsigned char* at) const {
        return static_cast<std::uint64_t>(at - bytes.data());
    }
    // The RVA lies in a section that holds code.
    bool inCode(std::uint64_t rva) const;
    // The length of the zero fill that begins at the RVA: a run of at least zeroFillRun zero
    // bytes, within its section, measured to where the run ends; 0 where no such run begins
    // there. Zero fill is no code (00 00 decodes as add [rax], al): what a section's raw data
    // leaves unwritten, neither a function nor part of one. Its cost is a memory scan.
    std::size_t zeroFillAt(std::uint64_t rva) const;
    // Where the 8-byte address held at slot leads, as an RVA (one below the image base wraps round
    // to an RVA outside the image); empty when the slot's eight bytes do not lie in the image.
    std::optional<std::uint64_t> pointerAt(std::uint64_t slot) const;
    // A global at the RVA lies in the image, by the plug-in's rule (all eight bytes of it).
    bool holdsGlobal(std::uint64_t rva) const;
    // Where the 32-bit relative field of the instruction at rva leads, as an RVA: the one rule
    // (relativeTarget), read signed as the processor reads it unless said otherwise. The field's
    // bytes must lie in the image.
    std::uint64_t relativeTargetRva(std::uint64_t rva, std::size_t fieldOffset, std::size_t length,
                                    FieldReading reading = FieldReading::asSigned) const;
};

// Zero bytes in a row that code never holds: the shortest zero fill. MSVC leaves tables in its
// code with runs of up to 128 zero bytes (switch tables, masks); those stay where they were read.
inline constexpr std::size_t zeroFillRun = 256;

// Images larger than this are refused as absurd.
inline constexpr std::uint64_t largestImage = 1ull << 30;

// Lays the file's bytes out as an image; an unusableImage error, with the reason, when the file
// is not a usable PE32+ image. Never reads outside the file or writes outside the image.
Outcome<ExecutableImage> layOutImage(std::string_view file, std::uint64_t sizeLimit = largestImage);

// The same straight from a file on disk, opened once and each byte read where it goes in the
// image; also an unreadableFile error when the file cannot be read. Anything but a regular file
// (a folder, pipe, device or socket) is refused without being opened.
Outcome<ExecutableImage> layOutFile(const std::string& path);

// Lowest matches listed for a pattern.
inline constexpr std::size_t listedMatches = 16;

} // namespace scan
