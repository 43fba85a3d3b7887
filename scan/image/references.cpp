#include "scan/image/references.hpp"

#include "scan/image/code_walk.hpp"
#include "scan/image/instructions.hpp"

#include <algorithm>
#include <cstring>

namespace scan {

namespace {

// Bytes of an instruction before its relative field at most: prefixes, REX, a three-byte opcode,
// ModRM and SIB.
constexpr std::size_t mostBeforeField = 10;

// Whether a field at `field` would begin inside zero fill, short of its last four bytes: its bytes
// are zeros of a run (from where it begins in the section that starts at begin) long enough to be
// fill.
bool insideZeroFill(const ExecutableImage& image, std::uint64_t field, std::uint64_t begin) {
    const unsigned char* const bytes = image.bytes.data();
    if (std::any_of(bytes + field, bytes + field + 4, [](unsigned char b) { return b != 0; })) {
        return false;
    }
    std::uint64_t run = field;
    while (run > begin && bytes[run - 1] == 0) {
        --run;
    }
    const std::size_t fill = image.zeroFillAt(run);
    return fill > 4 && field <= run + fill - 4;
}

} // namespace

std::vector<Reference> findReferences(const ExecutableImage& image, std::uint64_t lowest,
                                      std::uint64_t highest) {
    std::vector<Reference> references;
    for (const Section& section : image.sections) {
        if (!section.executable || section.span < 4) {
            continue;
        }
        const std::uint64_t begin = section.virtualAddress;
        const std::uint64_t end = begin + section.span;
        const unsigned char* const bytes = image.bytes.data();
        // Every byte of the code is asked whether a field begins there, so the question is asked
        // first in place, with nothing else on the way; the few places where it leads into the
        // range are then looked at.
        for (std::uint64_t field = begin; field + 4 <= end; ++field) {
            // The field's instruction ends 0, 1, 2 or 4 bytes after it (an immediate may follow
            // a displacement): only then can it lead into the range.
            std::int32_t displacement = 0;
            std::memcpy(&displacement, bytes + field, sizeof(displacement));
            const std::uint64_t fieldEnd =
                field + 4 + static_cast<std::uint64_t>(std::int64_t{displacement});
            if (fieldEnd + 4 < lowest || fieldEnd > highest) {
                continue;
            }
            // Inside zero fill no instruction holds a field: only its last bytes may begin one.
            if (insideZeroFill(image, field, begin)) {
                continue;
            }
            // Bytes before an instruction can often be read as a prefix, and its own last bytes
            // as a shorter instruction: of the readings that lead into the range, the one where
            // the code's own walk lands is the instruction; else the shortest.
            std::vector<Reference> readings;
            for (std::size_t before = 1; before <= mostBeforeField && before <= field - begin;
                 ++before) {
                const std::uint64_t at = field - before;
                const std::optional<Instruction> instruction = instructionAt(image, at, end);
                const InstructionField* relative =
                    instruction ? instruction->relativeField() : nullptr;
                if (relative == nullptr || relative->offset != before || relative->size != 4 ||
                    !instruction->target) {
                    continue;
                }
                const std::uint64_t target = *instruction->target - image.imageBase;
                if (target >= lowest && target <= highest) {
                    readings.push_back({at, instruction->length, before, instruction->branch,
                                        instruction->text, target});
                }
            }
            if (readings.empty()) {
                continue;
            }
            if (readings.size() == 1) {
                references.push_back(std::move(readings.front()));
                continue;
            }
            const auto walked =
                std::find_if(readings.begin(), readings.end(), [&](const Reference& reading) {
                    return !walkTo(image, reading.rva).empty();
                });
            references.push_back(walked != readings.end() ? *walked : readings.front());
        }
    }
    return references;
}

} // namespace scan
