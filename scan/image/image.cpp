#include "scan/image/image.hpp"

#include "engine/pattern.hpp"
#include "platform/files.hpp"
#include "platform/memory.hpp"
#include "scan/hex.hpp"
#include "scan/image/funclets.hpp"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <new>
#include <utility>

namespace scan {

namespace {

std::uint32_t read16(std::string_view file, std::uint64_t at) {
    return static_cast<unsigned char>(file[at]) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(file[at + 1])) << 8;
}

std::uint32_t read32(std::string_view file, std::uint64_t at) {
    return read16(file, at) | read16(file, at + 2) << 16;
}

// Section names are 8 bytes, padded with zeros; anything unprintable is shown as '?'.
std::string sectionName(std::string_view raw) {
    std::string name;
    for (char c : raw.substr(0, raw.find('\0'))) {
        name += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return name;
}

// Offsets inside the headers.
constexpr std::uint64_t dosHeaderSize = 0x40;
constexpr std::uint64_t peOffsetField = 0x3C;
constexpr std::uint64_t coffHeaderSize = 20;
constexpr std::uint64_t optionalHeaderNeeded = 64; // through SizeOfHeaders
constexpr std::uint64_t optionalHeaderRead = 240;  // through the last data directory
constexpr std::uint64_t directoryCountField = 108;
constexpr std::uint64_t exportDirectory = 0;
constexpr std::uint64_t importDirectory = 1;
constexpr std::uint64_t exceptionDirectory = 3;
constexpr std::uint64_t directoriesAt = 112;
constexpr std::uint64_t runtimeFunctionSize = 12;       // begin, end, unwind information
constexpr std::uint32_t codeSection = 0x20;             // IMAGE_SCN_CNT_CODE
constexpr std::uint32_t executableSection = 0x20000000; // IMAGE_SCN_MEM_EXECUTE
constexpr std::uint32_t writableSection = 0x80000000;   // IMAGE_SCN_MEM_WRITE
constexpr std::uint64_t sectionHeaderSize = 40;
constexpr std::uint32_t amd64Machine = 0x8664;
constexpr std::uint32_t pe32PlusMagic = 0x20B;

} // namespace

Bytes::Bytes(std::size_t size)
    : data_(static_cast<unsigned char*>(platform::allocatePages(size))), size_(size) {
    if (data_ == nullptr) {
        throw std::bad_alloc();
    }
}

Bytes::~Bytes() {
    platform::freePages(data_, size_);
}

Bytes::Bytes(Bytes&& other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    return *this;
}

const Section* ExecutableImage::sectionOf(std::uint64_t rva) const {
    for (const Section& section : sections) {
        if (rva >= section.virtualAddress && rva - section.virtualAddress < section.span) {
            return &section;
        }
    }
    return nullptr;
}

std::string ExecutableImage::sectionAt(std::uint64_t rva) const {
    const Section* section = sectionOf(rva);
    return section != nullptr ? section->name : "";
}

std::vector<std::string> ExecutableImage::exportsAt(std::uint64_t rva) const {
    std::vector<std::string> names;
    for (auto at = std::lower_bound(
             exports.begin(), exports.end(), rva,
             [](const Export&each, std::uint64_t wanted) { return each.rva < wanted; });
         at != exports.end() && at->rva == rva; ++at) {
        names.push_back(at->name);
    }
    return names;
}

const Import* ExecutableImage::importAt(std::uint64_t rva) const {
    const auto found =
        std::lower_bound(imports.begin(), imports.end(), rva,
                         [](const Import& each, std::uint64_t at) { return each.slot < at; });
    return found != imports.end() && found->slot == rva ? &*found : nullptr;
}

std::optional<FunctionExtent> ExecutableImage::functionAt(std::uint64_t rva) const {
    const auto after = std::upper_bound(
        functions.begin(), functions.end(), rva,
        [](std::uint64_t at, const FunctionExtent& function) { return at < function.begin; });
    if (after == functions.begin() || std::prev(after)->end <= rva) {
        return std::nullopt;
    }
    return *std::prev(after);
}

std::uint64_t ExecutableImage::codeStartBefore(std::uint64_t rva) const {
    const auto after = std::upper_bound(
        functions.begin(), functions.end(), rva,
        [](std::uint64_t at, const FunctionExtent& function) { return at < function.begin; });
    const Section* section = sectionOf(rva);
    std::uint64_t start = section != nullptr ? section->virtualAddress : 0;
    if (after != functions.begin()) {
        const FunctionExtent& before = *std::prev(after);
        start = std::max<std::uint64_t>(start, before.end <= rva ? before.end : before.begin);
    }
    return start;
}

std::uint64_t ExecutableImage::codeEndAfter(std::uint64_t rva) const {
    if (const std::optional<FunctionExtent> function = functionAt(rva)) {
        return function->end;
    }
    const Section* section = sectionOf(rva);
    std::uint64_t limit =
        section != nullptr ? std::uint64_t{section->virtualAddress} + section->span : bytes.size();
    const auto next = std::upper_bound(
        functions.begin(), functions.end(), rva,
        [](std::uint64_t at, const FunctionExtent& function) { return at < function.begin; });
    if (next != functions.end()) {
        limit = std::min<std::uint64_t>(limit, next->begin);
    }
    return limit;
}

bool ExecutableImage::inCode(std::uint64_t rva) const {
    const Section* section = sectionOf(rva);
    return section != nullptr && section->executable;
}

std::size_t ExecutableImage::zeroFillAt(std::uint64_t rva) const {
    if (rva >= bytes.size() || bytes[rva] != 0) {
        return 0;
    }
    const Section* section = sectionOf(rva);
    const std::uint64_t end =
        section != nullptr ? std::uint64_t{section->virtualAddress} + section->span : bytes.size();
    const unsigned char* at = bytes.data() + rva;
    const unsigned char* const stop = bytes.data() + std::min<std::uint64_t>(end, bytes.size());
    // Eight bytes at a time, then the rest one by one.
    for (std::uint64_t word = 0; stop - at >= 8; at += 8) {
        std::memcpy(&word, at, sizeof(word));
        if (word != 0) {
            break;
        }
    }
    while (at < stop && *at == 0) {
        ++at;
    }
    const auto run = static_cast<std::size_t>(at - (bytes.data() + rva));
    return run >= zeroFillRun ? run : 0;
}

std::optional<std::uint64_t> ExecutableImage::pointerAt(std::uint64_t slot) const {
    if (slot >= bytes.size() || bytes.size() - slot < sizeof(std::uint64_t)) {
        return std::nullopt;
    }
    std::uint64_t pointer = 0;
    std::memcpy(&pointer, bytes.data() + slot, sizeof(pointer));
    return pointer - imageBase;
}

bool ExecutableImage::holdsGlobal(std::uint64_t rva) const {
    return globalInImage(bytes.data(), bytes.size(),
                         reinterpret_cast<std::uintptr_t>(bytes.data()) + rva);
}

std::uint64_t ExecutableImage::relativeTargetRva(std::uint64_t rva, std::size_t fieldOffset,
                                                 std::size_t length, FieldReading reading) const {
    return relativeTarget(bytes.data() + rva, fieldOffset, length, reading) -
           reinterpret_cast<std::uintptr_t>(bytes.data());
}

std::vector<PatternMatches> ExecutableImage::countMatches(std::span<const BytePattern> patterns,
                                                          std::uint64_t stopAt) const {
    std::vector<PatternMatches> matches(patterns.size());
    ::countMatches(bytes.data(), static_cast<std::uint32_t>(bytes.size()), patterns, matches,
                   listedMatches, stopAt, &weights);
    return matches;
}

namespace {

// Where a file's bytes come from: read(offset, count, destination) copies bytes that lie inside
// the file and returns false when it cannot.
struct FileReader {
    std::uint64_t size;
    std::function<bool(std::uint64_t, std::size_t, unsigned char*)> read;
};

Error unusable(std::string detail) {
    return {Error::Kind::unusableImage, std::move(detail)};
}

const Error unreadable{Error::Kind::unreadableFile, ""};

// The bytes a data directory names in the laid-out image; empty when it has none or they do not
// lie inside the image.
std::string_view directoryOf(const ExecutableImage& image, std::string_view optional,
                             std::uint64_t directory, std::uint64_t* rva = nullptr) {
    const std::uint64_t entryField = directoriesAt + directory * 8;
    if (optional.size() < entryField + 8 || read32(optional, directoryCountField) <= directory) {
        return {};
    }
    const std::uint64_t at = read32(optional, entryField);
    const std::uint64_t size = read32(optional, entryField + 4);
    const std::uint64_t imageSize = image.bytes.size();
    if (at >= imageSize || size > imageSize - at) {
        return {};
    }
    if (rva != nullptr) {
        *rva = at;
    }
    return {reinterpret_cast<const char*>(image.bytes.data() + at), static_cast<std::size_t>(size)};
}

// The names the export table gives places in the image, by RVA. A table whose arrays do not lie
// in the image gives none; an RVA inside the export directory is a forwarder, no place here.
std::vector<Export> exportsOf(const ExecutableImage& image, std::string_view optional) {
    std::uint64_t at = 0;
    const std::string_view directory = directoryOf(image, optional, exportDirectory, &at);
    if (directory.size() < 40) {
        return {};
    }
    const std::string_view all(reinterpret_cast<const char*>(image.bytes.data()),
                               image.bytes.size());
    const std::uint64_t functionCount = read32(directory, 20);
    const std::uint64_t nameCount = read32(directory, 24);
    const std::uint64_t functions = read32(directory, 28);
    const std::uint64_t names = read32(directory, 32);
    const std::uint64_t ordinals = read32(directory, 36);
    const auto fits = [&](std::uint64_t from, std::uint64_t count) {
        return from <= all.size() && count <= (all.size() - from) / 4;
    };
    if (!fits(functions, functionCount) || !fits(names, nameCount) ||
        !fits(ordinals, (nameCount + 1) / 2)) {
        return {};
    }
    std::vector<Export> exports;
    for (std::uint64_t n = 0; n < nameCount; ++n) {
        const std::uint64_t ordinal = read16(all, ordinals + 2 * n);
        const std::uint64_t name = read32(all, names + 4 * n);
        if (ordinal >= functionCount || name >= all.size()) {
            continue;
        }
        const std::uint32_t rva = read32(all, functions + 4 * ordinal);
        if (rva >= at && rva - at < directory.size()) {
            continue;
        }
        const std::string_view text = all.substr(name, 512);
        exports.push_back({rva, std::string(text.substr(0, text.find('\0')))});
    }
    std::stable_sort(exports.begin(), exports.end(),
                     [](const Export& a, const Export& b) { return a.rva < b.rva; });
    return exports;
}

// The functions the import table names, by the slot the loader fills with each one's address.
// Descriptors, lookup entries and names that do not lie in the image end the table there.
std::vector<Import> importsOf(const ExecutableImage& image, std::string_view optional) {
    const std::string_view directory = directoryOf(image, optional, importDirectory);
    const std::string_view all(reinterpret_cast<const char*>(image.bytes.data()),
                               image.bytes.size());
    constexpr std::uint64_t descriptorSize = 20;
    constexpr std::uint64_t mostPerModule = 1u << 16;
    // However the table's entries point into the image, its reading is bounded: no program
    // imports more.
    constexpr std::size_t mostImports = 1u << 16;
    constexpr std::uint64_t ordinalFlag = 1ull << 63;
    const auto text = [&](std::uint64_t at) {
        if (at >= all.size()) {
            return std::string();
        }
        const std::string_view rest = all.substr(at, 512);
        return std::string(rest.substr(0, rest.find('\0')));
    };
    std::vector<Import> imports;
    for (std::uint64_t at = 0;
         at + descriptorSize <= directory.size() && imports.size() < mostImports;
         at += descriptorSize) {
        const std::uint64_t lookup = read32(directory, at);
        const std::uint64_t name = read32(directory, at + 12);
        const std::uint64_t slots = read32(directory, at + 16);
        if (name == 0 && slots == 0) {
            break;
        }
        std::string module = text(name);
        std::transform(module.begin(), module.end(), module.begin(), [](char c) {
            return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
        });
        const std::uint64_t entries = lookup != 0 ? lookup : slots;
        for (std::uint64_t k = 0; k < mostPerModule && imports.size() < mostImports; ++k) {
            const std::uint64_t entry = entries + 8 * k;
            const std::uint64_t slot = slots + 8 * k;
            if (entry + 8 > all.size() || slot + 8 > all.size()) {
                break;
            }
            const std::uint64_t value =
                read32(all, entry) | (std::uint64_t{read32(all, entry + 4)} << 32);
            if (value == 0) {
                break;
            }
            imports.push_back(
                {static_cast<std::uint32_t>(slot),
                 module + "!" +
                     ((value & ordinalFlag) != 0 ? "#" + std::to_string(value & 0xFFFF)
                                                 : text((value & 0x7FFFFFFF) + 2))});
        }
    }
    std::sort(imports.begin(), imports.end(),
              [](const Import& a, const Import& b) { return a.slot < b.slot; });
    return imports;
}

// The functions the exception directory lists, read from the laid-out image. Entries that lie
// outside the image, or end before they begin, are no function.
std::vector<FunctionExtent> functionsOf(const ExecutableImage& image, std::string_view optional) {
    const std::string_view table = directoryOf(image, optional, exceptionDirectory);
    const std::uint64_t size = table.size();
    const std::uint64_t imageSize = image.bytes.size();
    std::vector<FunctionExtent> functions;
    for (std::uint64_t entry = 0; entry + runtimeFunctionSize <= size;
         entry += runtimeFunctionSize) {
        const std::uint32_t begin = read32(table, entry);
        const std::uint32_t end = read32(table, entry + 4);
        if (begin < end && end <= imageSize) {
            functions.push_back({begin, end, read32(table, entry + 8)});
        }
    }
    std::sort(functions.begin(), functions.end(),
              [](const FunctionExtent& a, const FunctionExtent& b) { return a.begin < b.begin; });
    // A part chained to the function that ends where it begins continues that function's code
    // (MSVC lists where more registers are saved as a part of its own): one extent, so that a
    // signature may run on into it and a place in it is a place in its function.
    std::vector<FunctionExtent> merged;
    merged.reserve(functions.size());
    for (const FunctionExtent& function : functions) {
        if (!merged.empty() && merged.back().end == function.begin) {
            if (const std::optional<FunctionExtent> parent = chainedParentOf(image, function);
                parent && parent->begin == merged.back().begin) {
                merged.back().end = function.end;
                continue;
            }
        }
        merged.push_back(function);
    }
    return merged;
}

Outcome<ExecutableImage> layOutUnguarded(const FileReader& reader, std::uint64_t sizeLimit) {
    auto fail = [](std::string reason) -> Outcome<ExecutableImage> {
        return unusable(std::move(reason));
    };
    // Each header piece is read at its own offset, once that offset and the piece's size are
    // checked against the file's size: nothing is read that the layout does not need, however
    // far into the file a header points.
    auto piece = [&](std::uint64_t offset, std::uint64_t count) -> Outcome<std::string> {
        std::string bytes(static_cast<std::size_t>(count), '\0');
        if (!reader.read(offset, bytes.size(), reinterpret_cast<unsigned char*>(bytes.data()))) {
            return unreadable;
        }
        return bytes;
    };
    const std::uint64_t fileSize = reader.size;
    if (fileSize < dosHeaderSize) {
        return fail("not a PE file at all (no MZ header)");
    }
    const Outcome<std::string> dosPiece = piece(0, dosHeaderSize);
    if (!dosPiece) {
        return dosPiece.error();
    }
    const std::string& dos = *dosPiece;
    if (dos.substr(0, 2) != "MZ") {
        return fail("not a PE file at all (no MZ header)");
    }
    const std::uint64_t pe = read32(dos, peOffsetField);
    if (pe + 4 + coffHeaderSize > fileSize) {
        return fail("truncated headers: the PE header at " + hex(pe) +
                    " lies past the end of the file");
    }
    const Outcome<std::string> coffPiece = piece(pe, 4 + coffHeaderSize);
    if (!coffPiece) {
        return coffPiece.error();
    }
    const std::string& coff = *coffPiece;
    if (coff.substr(0, 4) != std::string_view("PE\0\0", 4)) {
        return fail("not a PE file at all (no PE signature)");
    }
    const std::uint32_t machine = read16(coff, 4);
    const std::uint32_t sectionCount = read16(coff, 6);
    const std::uint32_t optionalSize = read16(coff, 20);
    const std::uint64_t optionalAt = pe + 4 + coffHeaderSize;
    if (optionalSize < optionalHeaderNeeded || optionalAt + optionalHeaderNeeded > fileSize) {
        return fail("truncated headers: the optional header is cut short");
    }
    const Outcome<std::string> optionalPiece =
        piece(optionalAt,
              std::min<std::uint64_t>({optionalSize, optionalHeaderRead, fileSize - optionalAt}));
    if (!optionalPiece) {
        return optionalPiece.error();
    }
    const std::string& optional = *optionalPiece;
    const std::uint32_t magic = read16(optional, 0);
    if (machine != amd64Machine || magic != pe32PlusMagic) {
        return fail("not 64-bit: machine " + hex(machine) + ", optional header magic " +
                    hex(magic) + " (a PE32+ image for x86-64 has 0x8664 and 0x20B)");
    }
    const std::uint32_t imageSize = read32(optional, 56);
    const std::uint32_t headersSize = read32(optional, 60);
    if (imageSize == 0 || imageSize > sizeLimit) {
        return fail("absurd SizeOfImage of " + std::to_string(imageSize) + " bytes (at most " +
                    std::to_string(sizeLimit) + ")");
    }
    const std::uint64_t tableAt = optionalAt + optionalSize;
    if (tableAt + sectionCount * sectionHeaderSize > fileSize) {
        return fail("truncated headers: the section table lies past the end of the file");
    }
    const Outcome<std::string> tablePiece = piece(tableAt, sectionCount * sectionHeaderSize);
    if (!tablePiece) {
        return tablePiece.error();
    }
    const std::string& table = *tablePiece;

    ExecutableImage image;
    image.headersSize = headersSize;
    image.entryPoint = read32(optional, 16);
    image.imageBase = read32(optional, 24) | std::uint64_t{read32(optional, 28)} << 32;
    image.bytes = Bytes(imageSize);
    const std::uint64_t headerBytes = std::min<std::uint64_t>({headersSize, fileSize, imageSize});
    if (!reader.read(0, static_cast<std::size_t>(headerBytes), image.bytes.data())) {
        return unreadable;
    }
    for (std::uint32_t n = 0; n < sectionCount; ++n) {
        const std::uint64_t header = n * sectionHeaderSize;
        const std::string name = sectionName(std::string_view(table).substr(header, 8));
        const std::uint32_t virtualSize = read32(table, header + 8);
        const std::uint32_t virtualAddress = read32(table, header + 12);
        const std::uint32_t rawSize = read32(table, header + 16);
        const std::uint32_t rawOffset = read32(table, header + 20);
        const std::uint32_t characteristics = read32(table, header + 36);
        const std::uint64_t copied = virtualSize != 0 ? std::min(rawSize, virtualSize) : rawSize;
        const std::uint64_t span = std::max<std::uint64_t>(virtualSize, copied);
        if (copied != 0 && std::uint64_t{rawOffset} + copied > fileSize) {
            return fail("section " + name + " lies outside the file");
        }
        if (std::uint64_t{virtualAddress} + span > imageSize) {
            return fail("section " + name + " lies outside the image (SizeOfImage " +
                        std::to_string(imageSize) + ")");
        }
        if (copied != 0 && !reader.read(rawOffset, static_cast<std::size_t>(copied),
                                        image.bytes.data() + virtualAddress)) {
            return unreadable;
        }
        image.sections.push_back({name, virtualAddress, static_cast<std::uint32_t>(span),
                                  (characteristics & (codeSection | executableSection)) != 0,
                                  (characteristics & writableSection) != 0});
    }
    image.functions = functionsOf(image, optional);
    image.imports = importsOf(image, optional);
    image.exports = exportsOf(image, optional);
    image.weights = weighRange(image.bytes.data(), image.bytes.size());
    return image;
}

Outcome<ExecutableImage> layOut(const FileReader& reader, std::uint64_t sizeLimit) {
    try {
        return layOutUnguarded(reader, sizeLimit);
    } catch (const std::bad_alloc&) {
        return Error{Error::Kind::outOfMemory, "not enough memory to lay out the image"};
    }
}

} // namespace

Outcome<ExecutableImage> layOutImage(std::string_view file, std::uint64_t sizeLimit) {
    const FileReader reader{
        file.size(), [file](std::uint64_t offset, std::size_t count, unsigned char* destination) {
            std::memcpy(destination, file.data() + offset, count);
            return true;
        }};
    return layOut(reader, sizeLimit);
}

Outcome<ExecutableImage> layOutFile(const std::string& path) {
    std::error_code failure;
    const std::filesystem::file_status status = std::filesystem::status(path, failure);
    if (!failure && std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        return unusable(std::filesystem::is_directory(status)
                            ? "a folder, not a file"
                            : "a pipe, device or socket, not a file");
    }
    // Opened only once it is known to be a regular file: opening a pipe can wait for ever.
    const std::optional<platform::ReadableFile> file = platform::ReadableFile::open(path);
    if (!file) {
        return Error{Error::Kind::unreadableFile, failure ? failure.message() : ""};
    }
    const FileReader reader{
        file->size(), [&file](std::uint64_t offset, std::size_t count, unsigned char* destination) {
            return file->read(offset, count, destination);
        }};
    return layOut(reader, largestImage);
}

} // namespace scan
