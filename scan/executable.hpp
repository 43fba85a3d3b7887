#pragma once
// A game executable read from disk and laid out as the Windows loader lays it out in memory (a
// PE32+ image: headers, then each section at its virtual address, zero-filled up to
// SizeOfImage), and what the plug-in's engine patterns find in it.

#include "engine/pattern.hpp"

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
};

// A function's extent, as the exception directory gives it: [begin, end) in RVAs.
struct FunctionExtent {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
};

struct ExecutableImage {
    Bytes bytes; // SizeOfImage bytes
    std::uint32_t headersSize = 0;
    std::uint32_t entryPoint = 0; // its RVA
    std::uint64_t imageBase = 0;  // where the image prefers to be loaded
    std::vector<Section> sections;
    // The functions the exception directory describes, by ascending begin; empty when it has
    // none (code without unwind information, or no directory at all).
    std::vector<FunctionExtent> functions;

    // The section holding the relative virtual address; null when none does.
    const Section* sectionOf(std::uint64_t rva) const;
    // Name of the section holding the relative virtual address; empty when none does.
    std::string sectionAt(std::uint64_t rva) const;
    // The function whose extent holds the RVA; empty when the exception directory names none.
    std::optional<FunctionExtent> functionAt(std::uint64_t rva) const;

    // The RVAs of every place each pattern matches, lowest first (at most listedMatches).
    std::vector<PatternMatches> countMatches(std::span<const BytePattern> patterns) const;
    std::uint64_t rvaOf(const unsigned char* at) const {
        return static_cast<std::uint64_t>(at - bytes.data());
    }
};

// Images larger than this are refused as absurd.
inline constexpr std::uint64_t largestImage = 1ull << 30;

// Lays the file's bytes out as an image. Empty, with the reason in error, when the file is not a
// usable PE32+ image. Never reads outside the file or writes outside the image.
std::optional<ExecutableImage> layOutImage(std::string_view file, std::string& error,
                                           std::uint64_t sizeLimit = largestImage);

// The same straight from a file on disk, reading each byte where it goes in the image; empty,
// with the reason in error, also when the file cannot be read.
std::optional<ExecutableImage> layOutFile(const std::string& path, std::string& error);

// Lowest matches listed for a pattern.
inline constexpr std::size_t listedMatches = 16;

// What one engine pattern finds in an image.
struct PatternFinding {
    int pattern = 0;           // 1, 2 or 3
    bool matched = false;      // the pattern occurs
    bool found = false;        // the plug-in would fill its slot from the first occurrence
    std::uint64_t matches = 0; // places it matches: more than one is ambiguous
    std::vector<std::uint64_t> matchRvas; // the lowest, ascending, at most listedMatches
    std::uint64_t matchRva = 0;
    std::uint64_t globalRva = 0;
    bool insideImage = false;
    std::string section; // the global's section, empty when none
};

// Each engine pattern in slot order, found with the plug-in's own scan (every match, in one pass)
// and judged as the plug-in judges its first match: the first global, whose value the plug-in
// reads, must lie inside the image.
std::vector<PatternFinding> findEngineGlobals(const ExecutableImage& image);

} // namespace scan
