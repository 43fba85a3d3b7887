#include "scan/image/references.hpp"

#include "scan/image/code_walk.hpp"
#include "scan/image/instructions.hpp"

#include <algorithm>
#include <cstring>

#include <emmintrin.h>

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

// Calls visit(field), lowest first, for every position from begin on whose four bytes (all before
// end), read as a relative field, lead into [lowest - 4, highest]: the field's instruction ends 0,
// 1, 2 or 4 bytes after it (an immediate may follow a displacement), and only then can it lead
// into [lowest, highest]. Every byte of the code is asked, so sixteen positions are asked at a
// time (SSE2, which every x86-64 processor has), with 32-bit sums that may wrap: a block none of
// whose sums lands in reach is passed over, and each position of the rare block that may is asked
// again exactly.
template <typename Visit>
void eachFieldLeadingNear(const unsigned char* bytes, std::uint64_t begin, std::uint64_t end,
                          std::uint64_t lowest, std::uint64_t highest, const Visit& visit) {
    auto leadsNear = [&](std::uint64_t field) {
        std::int32_t displacement = 0;
        std::memcpy(&displacement, bytes + field, sizeof(displacement));
        const std::uint64_t fieldEnd =
            field + 4 + static_cast<std::uint64_t>(std::int64_t{displacement});
        return fieldEnd + 4 >= lowest && fieldEnd <= highest;
    };
    // A range too wide for the block test has every position asked on its own.
    const std::uint64_t low = lowest >= 4 ? lowest - 4 : 0;
    const bool inBlocks = highest >= low && highest - low <= 0x7FFFFFFF;
    // Lane k of the load at field + s holds the four bytes at field + s + 4k; its sum with
    // field + s + 4k + 4 - low, unsigned, is at most highest - low where the field leads in reach.
    const __m128i lanes = _mm_setr_epi32(4, 8, 12, 16);
    const __m128i flip = _mm_set1_epi32(static_cast<int>(0x80000000U));
    const __m128i widest = _mm_xor_si128(_mm_set1_epi32(static_cast<int>(highest - low)), flip);
    std::uint64_t field = begin;
    for (; inBlocks && field + 16 + 3 <= end; field += 16) {
        const __m128i base = _mm_add_epi32(_mm_set1_epi32(static_cast<int>(field - low)), lanes);
        int beyond = 0xFFFF; // a byte mask of the lanes out of reach, in every load
        for (int s = 0; s < 4; ++s) {
            const __m128i value = _mm_loadu_si128(
                reinterpret_cast<const __m128i*>(bytes + field + static_cast<std::uint64_t>(s)));
            const __m128i sum = _mm_add_epi32(_mm_add_epi32(value, base), _mm_set1_epi32(s));
            beyond &= _mm_movemask_epi8(_mm_cmpgt_epi32(_mm_xor_si128(sum, flip), widest));
        }
        if (beyond != 0xFFFF) {
            for (std::uint64_t at = field; at < field + 16; ++at) {
                if (leadsNear(at)) {
                    visit(at);
                }
            }
        }
    }
    for (; field + 4 <= end; ++field) {
        if (leadsNear(field)) {
            visit(field);
        }
    }
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
        eachFieldLeadingNear(bytes, begin, end, lowest, highest, [&](std::uint64_t field) {
            // Inside zero fill no instruction holds a field: only its last bytes may begin one.
            if (insideZeroFill(image, field, begin)) {
                return;
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
                return;
            }
            if (readings.size() == 1) {
                references.push_back(std::move(readings.front()));
                return;
            }
            const auto walked =
                std::find_if(readings.begin(), readings.end(), [&](const Reference& reading) {
                    return !walkTo(image, reading.rva).empty();
                });
            references.push_back(walked != readings.end() ? *walked : readings.front());
        });
    }
    return references;
}

} // namespace scan
