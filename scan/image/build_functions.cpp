#include "scan/image/build_functions.hpp"

#include "scan/image/funclets.hpp"
#include "scan/image/function_map.hpp"
#include "scan/image/instructions.hpp"

#include <algorithm>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

namespace scan {

namespace {

constexpr std::uint64_t hashBasis = 0xCBF29CE484222325;

std::uint64_t hashBytes(const unsigned char* bytes, std::size_t size,
                        std::uint64_t hash = hashBasis) {
    for (std::size_t n = 0; n < size; ++n) {
        hash = (hash ^ bytes[n]) * 0x100000001B3;
    }
    return hash;
}

std::uint64_t combine(std::uint64_t hash, std::uint64_t value) {
    return (hash ^ (value + 0x9E3779B97F4A7C15 + (hash << 6) + (hash >> 2))) * 0x100000001B3;
}

bool printable(unsigned char byte) {
    return (byte >= 0x20 && byte < 0x7F) || byte == '\t' || byte == '\n' || byte == '\r';
}

// What lies at the RVA when it is a constant (read-only data, not code): a NUL-terminated string
// of 8 or 16 bits a character, else the block of bytes there unless it is all zero or begins with
// an address in the image; as a hash that tells the three apart.
std::optional<std::uint64_t> constantAt(const ExecutableImage& image, std::uint64_t rva,
                                        std::size_t read, const ReadPolicy& policy) {
    const std::size_t shortestString = policy.shortestString;
    const std::size_t longestRead = policy.longestString;
    const std::size_t constantBlock = policy.constantBlock;
    const Section* section = image.sectionOf(rva);
    if (section == nullptr || section->executable || section->writable) {
        return std::nullopt;
    }
    const std::uint64_t end = std::uint64_t{section->virtualAddress} + section->span;
    const unsigned char* bytes = image.bytes.data();
    std::size_t size = 0;
    while (rva + size < end && size < longestRead && printable(bytes[rva + size])) {
        ++size;
    }
    if (size >= shortestString && rva + size < end && bytes[rva + size] == 0) {
        return hashBytes(bytes + rva, size, combine(hashBasis, 's'));
    }
    size = 0;
    while (rva + 2 * size + 1 < end && size < longestRead && printable(bytes[rva + 2 * size]) &&
           bytes[rva + 2 * size + 1] == 0) {
        ++size;
    }
    if (size >= shortestString && rva + 2 * size + 1 < end && bytes[rva + 2 * size] == 0 &&
        bytes[rva + 2 * size + 1] == 0) {
        return hashBytes(bytes + rva, 2 * size, combine(hashBasis, 'w'));
    }
    // As many bytes as the instruction reads there, where it says: what lies beyond is another
    // constant, which moves when the data is laid out anew.
    const std::size_t block = read > 0 && read < constantBlock ? read : constantBlock;
    if (rva + block > end ||
        std::all_of(bytes + rva, bytes + rva + block, [](unsigned char b) { return !b; })) {
        return std::nullopt;
    }
    // Addresses in the image (a table of code or data) change whenever the code moves.
    if (const std::optional<std::uint64_t> address = image.pointerAt(rva);
        address && *address < image.bytes.size()) {
        return std::nullopt;
    }
    return hashBytes(bytes + rva, block, combine(hashBasis, 'c'));
}

class Reader {
public:
    Reader(const ExecutableImage& image, const ReadPolicy& policy)
        : image_(image), policy_(policy) {}

    // Reads the function [begin, end), and the parts of it that lie elsewhere: its shapes, its
    // data, the code it leads to.
    void read(std::uint64_t begin, std::uint64_t end,
              const std::vector<FunctionExtent>& parts = {}) {
        BuildFunction function{static_cast<std::uint32_t>(begin),
                               static_cast<std::uint32_t>(end),
                               static_cast<std::uint32_t>(out_.shapes.size()),
                               0,
                               hashBasis,
                               hashBasis};
        // Zero fill is no function, and code that runs into it ends there.
        if (image_.zeroFillAt(begin) > 0) {
            return;
        }
        if (const std::uint64_t stop = readPart(function, begin, end);
            stop < end && image_.zeroFillAt(stop) > 0) {
            function.end = static_cast<std::uint32_t>(stop);
        }
        for (const FunctionExtent& part : parts) {
            readPart(function, part.begin, part.end);
        }
        function.shape = combine(function.shape, function.steps);
        out_.functions.push_back(function);
    }

    // Reads [begin, end) into the function; where the reading stopped.
    std::uint64_t readPart(BuildFunction& function, std::uint64_t begin, std::uint64_t end) {
        covered_.emplace_back(begin, end);
        const auto index = static_cast<std::uint32_t>(out_.functions.size());
        const auto firstStep = static_cast<std::uint32_t>(out_.shapes.size());
        std::uint64_t at = begin;
        while (at < end) {
            if (image_.zeroFillAt(at) > 0) {
                break;
            }
            const std::optional<Instruction> instruction =
                instructionAt(image_, at, end, Told::layout);
            if (!instruction) {
                break;
            }
            const unsigned char* code = image_.bytes.data() + at;
            const std::string relinked = clearedBytes(code, *instruction, Cleared::relative);
            function.bytes = hashBytes(reinterpret_cast<const unsigned char*>(relinked.data()),
                                       relinked.size(), function.bytes);
            const std::string shape = clearedBytes(code, *instruction, Cleared::every);
            const std::uint64_t hash =
                hashBytes(reinterpret_cast<const unsigned char*>(shape.data()), shape.size());
            function.shape = combine(function.shape, hash);
            out_.shapes.push_back(static_cast<std::uint32_t>(hash ^ (hash >> 32)));
            out_.mnemonics.push_back(instruction->mnemonic);
            out_.lengths.push_back(static_cast<std::uint8_t>(instruction->length));
            if (instruction->target) {
                const std::uint64_t target = *instruction->target - image_.imageBase;
                if (target >= begin && target < end) {
                    // a jump within the function
                } else if (image_.inCode(target)) {
                    links_.push_back({static_cast<std::uint32_t>(out_.shapes.size() - 1),
                                      static_cast<std::uint32_t>(target)});
                    // A call leads to a function's start, and so does an address taken of code.
                    if (findingStarts_ && (instruction->callOrJump || !instruction->branch)) {
                        called_.insert(target);
                    }
                } else if (const Import* imported = image_.importAt(target)) {
                    out_.imports.push_back({index, hashBytes(reinterpret_cast<const unsigned char*>(
                                                                 imported->name.data()),
                                                             imported->name.size())});
                } else {
                    if (const std::optional<std::uint64_t> content =
                            constantAt(image_, target, instruction->memorySize, policy_)) {
                        out_.data.push_back({index, *content});
                    }
                    noteTable(out_.shapes.size() - 1, target);
                }
            }
            ++function.steps;
            at += instruction->length;
        }
        if (out_.shapes.size() > firstStep) {
            out_.pieces.push_back({firstStep, static_cast<std::uint32_t>(begin), index});
        }
        return at;
    }

    // Leaf functions have no entry: what calls, tail jumps, addresses taken, tables and exports
    // lead to outside every function the directory lists, found in rounds (a leaf function's own
    // calls may lead to more), then read, each up to the next one found. These lead to a
    // function's start, so code right after a return or jump that one leads to begins a function
    // of its own, padding before it or not; elsewhere inside a leaf, a target is no start (it
    // may be misread code).
    void readLeaves() {
        std::map<std::uint64_t, std::uint64_t> walked; // start to where its walk ended
        // Code right after a return or jump, with where the walk through it ended: a walk that
        // comes to it ends there too, so that leaves laid out back to back, each a start, are
        // walked once, not each to the end of the run.
        std::unordered_map<std::uint64_t, std::uint64_t> resumed;
        std::set<std::uint64_t> pending = std::move(called_);
        findingStarts_ = false; // the leaves' own calls are followed below
        for (int round = 0; round < policy_.leafRounds && !pending.empty(); ++round) {
            std::set<std::uint64_t> found;
            // In ascending order, so that a target is weighed against every leaf before it.
            for (const std::uint64_t start : pending) {
                if (image_.functionAt(start) || walked.contains(start)) {
                    continue;
                }
                const auto after = walked.upper_bound(start);
                if (after != walked.begin() && start < std::prev(after)->second &&
                    !resumed.contains(start)) {
                    continue;
                }
                std::vector<std::uint64_t> targets;
                std::vector<std::uint64_t> passed;
                std::optional<std::uint64_t> known;
                std::uint64_t end = walkLeafFunction(
                    image_, start,
                    [&](std::uint64_t at, const Instruction& instruction, bool afterFlowEnd) {
                        if (afterFlowEnd) {
                            if (const auto seen = resumed.find(at); seen != resumed.end()) {
                                known = seen->second;
                                return false;
                            }
                            passed.push_back(at);
                        }
                        if (instruction.callOrJump && instruction.target) {
                            targets.push_back(*instruction.target - image_.imageBase);
                        }
                        return true;
                    });
                end = known.value_or(end);
                walked.emplace(start, end);
                for (const std::uint64_t at : passed) {
                    resumed.emplace(at, end);
                }
                for (const std::uint64_t target : targets) {
                    if ((target < start || target >= end) && image_.inCode(target)) {
                        found.insert(target);
                    }
                }
            }
            pending = std::move(found);
        }
        for (auto leaf = walked.begin(); leaf != walked.end(); ++leaf) {
            const auto next = std::next(leaf);
            read(leaf->first,
                 next != walked.end() ? std::min(leaf->second, next->first) : leaf->second);
        }
    }

    // Exported code is a function's start, as a call's target is.
    void noteExports() {
        for (const Export& exported : image_.exports) {
            if (image_.inCode(exported.rva)) {
                called_.insert(exported.rva);
            }
        }
    }

    // Orders the functions by their start and resolves what each instruction leads to.
    BuildFunctions finish() {
        std::vector<std::uint32_t> order(out_.functions.size());
        for (std::uint32_t n = 0; n < order.size(); ++n) {
            order[n] = n;
        }
        std::sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
            return out_.functions[a].begin < out_.functions[b].begin;
        });
        std::vector<std::uint32_t> renumbered(order.size());
        std::vector<BuildFunction> sorted;
        sorted.reserve(order.size());
        for (const std::uint32_t old : order) {
            renumbered[old] = static_cast<std::uint32_t>(sorted.size());
            sorted.push_back(out_.functions[old]);
        }
        out_.functions = std::move(sorted);
        for (std::vector<DataUse>* uses : {&out_.data, &out_.imports}) {
            for (DataUse& use : *uses) {
                use.function = renumbered[use.function];
            }
            std::sort(uses->begin(), uses->end(), [](const DataUse& a, const DataUse& b) {
                return std::pair(a.function, a.content) < std::pair(b.function, b.content);
            });
            uses->erase(std::unique(uses->begin(), uses->end(),
                                    [](const DataUse& a, const DataUse& b) {
                                        return a.function == b.function && a.content == b.content;
                                    }),
                        uses->end());
        }
        for (Piece& piece : out_.pieces) {
            piece.function = renumbered[piece.function];
        }
        // In the steps' order, as they were read.
        for (const auto& [step, target] : links_) {
            if (const std::optional<std::uint32_t> function = out_.startingAt(target)) {
                out_.links.push_back({step, *function});
            }
        }
        links_ = {};
        for (auto& [at, slots] : out_.tables) {
            for (std::uint32_t& slot : slots) {
                const std::optional<std::uint32_t> function = out_.startingAt(slot);
                slot = function ? *function + 1 : 0;
            }
        }
        out_.index();
        return std::move(out_);
    }

    // The code between the functions read so far: leaf functions that nothing read leads to
    // (virtual functions and callbacks whose address only data holds), each from where the
    // padding before it ends.
    void readGaps() {
        std::vector<std::pair<std::uint64_t, std::uint64_t>> known = covered_;
        std::sort(known.begin(), known.end());
        auto next = known.begin();
        for (const Section& section : image_.sections) {
            if (!section.executable) {
                continue;
            }
            const std::uint64_t sectionEnd = std::uint64_t{section.virtualAddress} + section.span;
            for (std::uint64_t at = section.virtualAddress; at < sectionEnd;) {
                while (next != known.end() && next->second <= at) {
                    ++next;
                }
                if (next != known.end() && next->first <= at) {
                    at = next->second;
                    continue;
                }
                // Padding, and zero fill, lie between functions.
                if (const std::size_t padding =
                        std::max(paddingAt(image_, at), image_.zeroFillAt(at));
                    padding > 0) {
                    at += padding;
                    continue;
                }
                if (image_.bytes[at] == 0) {
                    ++at;
                    continue;
                }
                const std::uint64_t limit = next != known.end()
                                                ? std::min<std::uint64_t>(next->first, sectionEnd)
                                                : sectionEnd;
                const std::uint64_t end = std::min(functionEndOf(image_, at), limit);
                if (end <= at) {
                    ++at;
                    continue;
                }
                read(at, end);
                at = end;
            }
        }
    }

    // A table of code addresses (a virtual table, callbacks) that the instruction refers to:
    // its slots up to the first that holds no address of code, kept by the table's RVA.
    void noteTable(std::size_t step, std::uint64_t at) {
        const std::size_t mostSlots = policy_.mostTableSlots;
        const auto known = out_.tables.find(static_cast<std::uint32_t>(at));
        if (known == out_.tables.end()) {
            std::vector<std::uint32_t> slots;
            for (std::uint64_t slot = at; slots.size() < mostSlots; slot += 8) {
                const std::optional<std::uint64_t> address = image_.pointerAt(slot);
                if (!address || !image_.inCode(*address)) {
                    break;
                }
                slots.push_back(static_cast<std::uint32_t>(*address));
                if (findingStarts_) {
                    called_.insert(*address);
                }
            }
            if (slots.empty()) {
                return;
            }
            out_.tables.emplace(static_cast<std::uint32_t>(at), std::move(slots));
        }
        out_.tableAt.emplace_back(static_cast<std::uint32_t>(step), static_cast<std::uint32_t>(at));
    }

private:
    const ExecutableImage& image_;
    const ReadPolicy& policy_;
    BuildFunctions out_;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> links_; // step, target's RVA
    // Where calls, addresses taken and tables lead, until the leaves are found.
    std::set<std::uint64_t> called_;
    bool findingStarts_ = true;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> covered_; // every extent read
};

} // namespace

std::optional<std::uint32_t> BuildFunctions::startingAt(std::uint64_t rva) const {
    const auto found = std::lower_bound(
        functions.begin(), functions.end(), rva,
        [](const BuildFunction& function, std::uint64_t at) { return function.begin < at; });
    if (found == functions.end() || found->begin != rva) {
        return std::nullopt;
    }
    return static_cast<std::uint32_t>(found - functions.begin());
}

std::span<const Link> BuildFunctions::linksOf(const BuildFunction& function) const {
    const auto first = [&](std::size_t step) {
        return std::lower_bound(links.begin(), links.end(), step,
                                [](const Link& link, std::size_t at) { return link.step < at; });
    };
    const auto begin = first(function.firstStep);
    return {begin, first(std::size_t{function.firstStep} + function.steps)};
}

std::vector<std::uint32_t> BuildFunctions::rvasOf(const BuildFunction& function) const {
    std::vector<std::uint32_t> rvas;
    rvas.reserve(function.steps);
    const std::size_t last = std::size_t{function.firstStep} + function.steps;
    auto piece = std::lower_bound(
        pieces.begin(), pieces.end(), function.firstStep,
        [](const Piece& each, std::uint32_t step) { return each.firstStep < step; });
    for (; piece != pieces.end() && piece->firstStep < last; ++piece) {
        const std::size_t pieceEnd = std::next(piece) != pieces.end()
                                         ? std::min<std::size_t>(std::next(piece)->firstStep, last)
                                         : last;
        std::uint32_t at = piece->rva;
        for (std::size_t step = piece->firstStep; step < pieceEnd; ++step) {
            rvas.push_back(at);
            at += lengths[step];
        }
    }
    return rvas;
}

std::uint64_t BuildFunctions::rvaOf(std::size_t step) const {
    const auto after =
        std::upper_bound(pieces.begin(), pieces.end(), step,
                         [](std::size_t at, const Piece& each) { return at < each.firstStep; });
    if (after == pieces.begin()) {
        return 0;
    }
    const Piece& piece = *std::prev(after);
    std::uint64_t at = piece.rva;
    for (std::size_t k = piece.firstStep; k < step; ++k) {
        at += lengths[k];
    }
    return at;
}

void BuildFunctions::index() {
    byRva_.resize(pieces.size());
    for (std::uint32_t n = 0; n < byRva_.size(); ++n) {
        byRva_[n] = n;
    }
    std::stable_sort(byRva_.begin(), byRva_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return pieces[a].rva < pieces[b].rva;
    });
}

std::optional<std::pair<Held, std::uint64_t>> BuildFunctions::holding(std::uint64_t rva) const {
    const auto after = std::upper_bound(
        byRva_.begin(), byRva_.end(), rva,
        [&](std::uint64_t at, std::uint32_t piece) { return at < pieces[piece].rva; });
    if (after == byRva_.begin()) {
        return std::nullopt;
    }
    const std::uint32_t n = *std::prev(after);
    const Piece& piece = pieces[n];
    const std::size_t end = n + 1 < pieces.size() ? pieces[n + 1].firstStep : lengths.size();
    std::uint64_t at = piece.rva;
    for (std::size_t step = piece.firstStep; step < end; ++step) {
        if (rva < at + lengths[step]) {
            return std::pair(Held{piece.function, static_cast<std::uint32_t>(step)}, at);
        }
        at += lengths[step];
    }
    return std::nullopt;
}

std::optional<Held> BuildFunctions::stepHolding(std::uint64_t rva) const {
    const auto held = holding(rva);
    return held ? std::optional(held->first) : std::nullopt;
}

std::optional<Held> BuildFunctions::stepAt(std::uint64_t rva) const {
    const auto held = holding(rva);
    return held && held->second == rva ? std::optional(held->first) : std::nullopt;
}

BuildFunctions readBuildFunctions(const ExecutableImage& image, const Progress& progress,
                                  const ReadPolicy& policy) {
    Reader reader(image, policy);
    const std::uint64_t total = image.functions.size();
    std::uint64_t done = 0;
    // A function in several parts is one function: its parts are read with its first.
    std::map<std::uint64_t, std::vector<FunctionExtent>> partsOf;
    std::vector<bool> isPart(image.functions.size(), false);
    for (std::size_t n = 0; n < image.functions.size(); ++n) {
        if (const std::optional<FunctionExtent> parent =
                chainedParentOf(image, image.functions[n])) {
            partsOf[parent->begin].push_back(image.functions[n]);
            isPart[n] = true;
        }
    }
    for (std::size_t n = 0; n < image.functions.size(); ++n) {
        const FunctionExtent& extent = image.functions[n];
        if (!isPart[n]) {
            const auto parts = partsOf.find(extent.begin);
            reader.read(extent.begin, extent.end,
                        parts != partsOf.end() ? parts->second : std::vector<FunctionExtent>{});
        }
        if (progress && ++done % 4096 == 0) {
            progress("reading functions", done, total);
        }
    }
    reader.noteExports();
    reader.readLeaves();
    reader.readGaps();
    if (progress) {
        progress("reading functions", total, total);
    }
    BuildFunctions read = reader.finish();
    for (const std::uint32_t start : funcletsOf(image)) {
        if (const std::optional<std::uint32_t> n = read.startingAt(start)) {
            read.funclets.push_back(*n);
        }
    }
    return read;
}

BothRead readBoth(const ExecutableImage& older, const ExecutableImage& newer,
                  const Progress& progress, const ReadPolicy& policy) {
    BuildFunctions olderRead;
    BuildFunctions newerRead;
    sideBySide([&] { newerRead = readBuildFunctions(newer, progress, policy); },
               [&] { olderRead = readBuildFunctions(older, {}, policy); });
    return {std::make_shared<const BuildFunctions>(std::move(olderRead)),
            std::make_shared<const BuildFunctions>(std::move(newerRead))};
}

} // namespace scan
