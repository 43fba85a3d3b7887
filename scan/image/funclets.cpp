#include "scan/image/funclets.hpp"

#include <algorithm>

namespace scan {

namespace {

// UNWIND_INFO's flags: an exception handler, a termination handler, chained information.
constexpr unsigned handlerFlags = 0x1 | 0x2;
constexpr unsigned chainedFlag = 0x4;
constexpr std::uint32_t firstMagic = 0x19930520;
constexpr std::uint32_t lastMagic = 0x19930522;
// Bounds on what one function's exception data is believed to hold.
constexpr std::uint32_t mostEntries = 1024;
constexpr std::uint32_t mostHandlers = 64;

// Exception data lies in the image's data, never in its code.
bool inData(const ExecutableImage& image, std::uint64_t rva) {
    const Section* section = image.sectionOf(rva);
    return section != nullptr && !section->executable;
}

// Reads inside the image only: a byte past its end reads as 0, and an RVA of 0 names no funclet,
// so that data running off the image simply names nothing.
class Reader {
public:
    Reader(const ExecutableImage& image, std::uint64_t at) : image_(image), at_(at) {}

    std::uint32_t u8() {
        const std::uint64_t at = at_++;
        return at < image_.bytes.size() ? image_.bytes[at] : 0;
    }
    std::uint32_t u32() {
        std::uint32_t value = 0;
        for (int n = 0; n < 4; ++n) {
            value |= u8() << (8 * n);
        }
        return value;
    }
    // The compressed unsigned numbers of the later format: the low bits of the first byte say
    // how many bytes hold it (1 to 4, or 5 with the value in the last four).
    std::uint32_t compressed() {
        const std::uint32_t first = u8();
        std::size_t length = 1;
        while (length < 5 && (first >> (length - 1) & 1) != 0) {
            ++length;
        }
        if (length == 5) {
            return u32();
        }
        std::uint32_t value = first;
        for (std::size_t n = 1; n < length; ++n) {
            value |= u8() << (8 * n);
        }
        return value >> length;
    }
    void skip(std::uint64_t count) { at_ += count; }
    bool pastEnd() const { return at_ > image_.bytes.size(); }

private:
    const ExecutableImage& image_;
    std::uint64_t at_;
};

// Where an UNWIND_INFO's unwind codes end, after its 4-byte header (an even count of 2-byte
// slots): its handler lies there, or the entry it is chained to.
std::uint64_t afterUnwindCodes(const ExecutableImage& image, std::uint64_t unwind) {
    return unwind + 4 + 2ull * ((Reader(image, unwind + 2).u8() + 1) & ~1u);
}

// The funclets the FuncInfo at `at` names (unwind actions and catch handlers), with its magic
// number first; none where it has none.
void oldFormat(const ExecutableImage& image, std::uint64_t at, std::vector<std::uint32_t>& found) {
    if (!inData(image, at)) {
        return;
    }
    Reader info(image, at);
    const std::uint32_t magic = info.u32();
    if (magic < firstMagic || magic > lastMagic) {
        return;
    }
    const std::uint32_t states = info.u32();
    const std::uint32_t unwindMap = info.u32();
    const std::uint32_t tryBlocks = info.u32();
    const std::uint32_t tryBlockMap = info.u32();
    if (info.pastEnd() || states > mostEntries || tryBlocks > mostEntries) {
        return;
    }
    for (std::uint32_t n = 0; n < states; ++n) {
        Reader entry(image, unwindMap + 8ull * n + 4);
        found.push_back(entry.u32());
    }
    for (std::uint32_t n = 0; n < tryBlocks; ++n) {
        Reader block(image, tryBlockMap + 20ull * n + 12);
        const std::uint32_t catches = block.u32();
        const std::uint32_t handlers = block.u32();
        for (std::uint32_t c = 0; c < catches && c < mostHandlers; ++c) {
            Reader handler(image, handlers + 20ull * c + 12);
            found.push_back(handler.u32());
        }
    }
}

// The same for the compressed FuncInfo of later releases.
void newFormat(const ExecutableImage& image, std::uint64_t at, std::vector<std::uint32_t>& found) {
    if (!inData(image, at)) {
        return;
    }
    Reader info(image, at);
    const std::uint32_t header = info.u8();
    if ((header & 0x80) != 0) {
        return;
    }
    if ((header & 0x04) != 0) {
        info.compressed(); // the flags of a binary rewritten for order
    }
    const std::uint32_t unwindMap = (header & 0x08) != 0 ? info.u32() : 0;
    const std::uint32_t tryBlockMap = (header & 0x10) != 0 ? info.u32() : 0;
    if (info.pastEnd()) {
        return;
    }
    if (unwindMap != 0 && inData(image, unwindMap)) {
        Reader map(image, unwindMap);
        const std::uint32_t entries = map.compressed();
        for (std::uint32_t n = 0; n < entries && n < mostEntries && !map.pastEnd(); ++n) {
            const std::uint32_t type = map.compressed() & 3;
            if (type == 1 || type == 2) {
                found.push_back(map.u32());
                map.compressed();
            } else if (type == 3) {
                found.push_back(map.u32());
            }
        }
    }
    if (tryBlockMap != 0 && inData(image, tryBlockMap)) {
        Reader map(image, tryBlockMap);
        const std::uint32_t blocks = map.compressed();
        for (std::uint32_t n = 0; n < blocks && n < mostEntries && !map.pastEnd(); ++n) {
            map.compressed();
            map.compressed();
            map.compressed();
            const std::uint32_t array = map.u32();
            if (!inData(image, array)) {
                return;
            }
            Reader handlers(image, array);
            const std::uint32_t count = handlers.compressed();
            for (std::uint32_t c = 0; c < count && c < mostHandlers && !handlers.pastEnd(); ++c) {
                const std::uint32_t flags = handlers.u8();
                if ((flags & 0x01) != 0) {
                    handlers.compressed();
                }
                if ((flags & 0x02) != 0) {
                    handlers.u32();
                }
                if ((flags & 0x04) != 0) {
                    handlers.compressed();
                }
                found.push_back(handlers.u32());
                for (std::uint32_t k = 0; k < (flags >> 4 & 3); ++k) {
                    (flags & 0x08) != 0 ? handlers.u32() : handlers.compressed();
                }
            }
        }
    }
}

// A scope table of structured exception handling, whose guarded ranges lie in the parent: its
// filters and termination handlers.
void scopeTable(const ExecutableImage& image, std::uint64_t at, const FunctionExtent& parent,
                std::vector<std::uint32_t>& found) {
    Reader table(image, at);
    const std::uint32_t count = table.u32();
    for (std::uint32_t n = 0; n < count && n < mostHandlers && !table.pastEnd(); ++n) {
        const std::uint32_t begin = table.u32();
        const std::uint32_t end = table.u32();
        if (begin < parent.begin || end > parent.end || begin > end) {
            return;
        }
        found.push_back(table.u32());
        table.skip(4); // where execution goes on
    }
}

// The funclets the parent's exception data names (any start; the caller checks them).
void namedBy(const ExecutableImage& image, const FunctionExtent& parent,
             std::vector<std::uint32_t>& named) {
    named.clear();
    if (parent.unwind == 0) {
        return;
    }
    const std::uint32_t flags = Reader(image, parent.unwind).u8() >> 3;
    if ((flags & handlerFlags) == 0 || (flags & chainedFlag) != 0) {
        return;
    }
    // The handler, then its data.
    const std::uint64_t here = afterUnwindCodes(image, parent.unwind) + 4;
    Reader data(image, here);
    const std::uint32_t first = data.u32();
    if (data.pastEnd()) {
        return;
    }
    oldFormat(image, first, named);
    if (named.empty()) {
        newFormat(image, first, named);
        scopeTable(image, here, parent, named);
    }
}

bool isEntry(const ExecutableImage& image, std::uint64_t rva) {
    const std::optional<FunctionExtent> function = image.functionAt(rva);
    return function && function->begin == rva;
}

} // namespace

std::optional<std::uint64_t> funcletParentOf(const ExecutableImage& image, std::uint64_t start) {
    if (!isEntry(image, start)) {
        return std::nullopt;
    }
    std::vector<std::uint32_t> named;
    for (const FunctionExtent& parent : image.functions) {
        if (parent.begin == start) {
            continue;
        }
        namedBy(image, parent, named);
        if (std::find(named.begin(), named.end(), start) != named.end()) {
            return parent.begin;
        }
    }
    return std::nullopt;
}

std::vector<std::uint32_t> funcletsOf(const ExecutableImage& image) {
    std::vector<std::uint32_t> funclets;
    std::vector<std::uint32_t> named;
    for (const FunctionExtent& parent : image.functions) {
        namedBy(image, parent, named);
        for (const std::uint32_t start : named) {
            if (start != parent.begin && isEntry(image, start)) {
                funclets.push_back(start);
            }
        }
    }
    std::sort(funclets.begin(), funclets.end());
    funclets.erase(std::unique(funclets.begin(), funclets.end()), funclets.end());
    return funclets;
}

std::optional<FunctionExtent> chainedParentOf(const ExecutableImage& image,
                                              const FunctionExtent& part) {
    constexpr int deepestChain = 32;
    FunctionExtent at = part;
    for (int depth = 0; depth < deepestChain; ++depth) {
        if (at.unwind == 0 || std::uint64_t{at.unwind} + 4 > image.bytes.size()) {
            return std::nullopt;
        }
        if (((Reader(image, at.unwind).u8() >> 3) & chainedFlag) == 0) {
            return depth == 0 ? std::nullopt : std::optional(at);
        }
        Reader entry(image, afterUnwindCodes(image, at.unwind));
        at = {entry.u32(), entry.u32(), entry.u32()};
        if (entry.pastEnd()) {
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace scan
