// Instructions decoded by Capstone, built from the same sources in both builds. Capstone finds the
// instruction, its text, its operands and its registers; the fields' places come from the ModRM
// and SIB bytes, since Capstone gives a 2-byte displacement to every instruction with an operand
// size prefix (0x66, or VEX's equivalent), where the encoding has 4.

#include "scan/image/instructions.hpp"

#include <capstone/capstone.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace scan {

namespace {

// The little-endian number of size bytes at code, sign-extended.
std::int64_t encoded(const unsigned char* code, std::size_t size) {
    std::uint64_t bits = 0;
    for (std::size_t n = 0; n < size; ++n) {
        bits |= std::uint64_t{code[n]} << (8 * n);
    }
    if (size < 8 && size > 0 && (code[size - 1] & 0x80) != 0) {
        bits |= ~std::uint64_t{0} << (8 * size);
    }
    return static_cast<std::int64_t>(bits);
}

// The layouts of instructions met lately, by their bytes. x86 code is a prefix code: bytes that
// hold a whole instruction decode to it whatever follows, so an instruction whose bytes are
// remembered needs no decoder, and compiled code repeats most of its instructions many times.
// Only what the address does not change is kept; a relative field's target is worked out again.
class Remembered {
public:
    // The instruction the bytes at code begin with, if remembered.
    std::optional<Instruction> find(const unsigned char* code, std::size_t available,
                                    std::uint64_t address) const {
        if (buckets_.empty()) {
            return std::nullopt;
        }
        const std::uint64_t head = headOf(code, std::min(available, headBytes));
        for (std::size_t key = std::min(available, keyBytes); key > 0; --key) {
            const Bucket& bucket = buckets_[slotOf(head, key)];
            for (std::size_t way = 0; way < ways; ++way) {
                const std::size_t length = bucket.length[way];
                // A way holds an instruction of length bytes, compared here as far as its head
                // reaches and in its entry beyond.
                if (length == 0 || std::min(length, keyBytes) != key || length > available) {
                    continue;
                }
                const std::size_t inHead = std::min(length, headBytes);
                if (((bucket.head[way] ^ head) & maskOf(inHead)) != 0) {
                    continue;
                }
                const Entry& entry = entries_[bucket.entry[way]];
                if (length > headBytes && std::memcmp(entry.bytes.data() + headBytes,
                                                      code + headBytes, length - headBytes) != 0) {
                    continue;
                }
                return entry.instructionAt(code, address);
            }
        }
        return std::nullopt;
    }

    void keep(const unsigned char* code, const Instruction& instruction) {
        const std::size_t length = instruction.length;
        if (length == 0 || length > 15) {
            return;
        }
        if (buckets_.empty()) {
            buckets_.resize(slots); // only a thread that reads code needs them
        }
        const std::uint64_t head = headOf(code, std::min(length, headBytes));
        Bucket& bucket = buckets_[slotOf(head, std::min(length, keyBytes))];
        const std::size_t way = bucket.next;
        bucket.next = static_cast<std::uint8_t>((way + 1) % ways);
        if (bucket.length[way] == 0) {
            bucket.entry[way] = static_cast<std::uint32_t>(entries_.size());
            entries_.emplace_back();
        }
        bucket.head[way] = head;
        bucket.length[way] = static_cast<std::uint8_t>(length);
        entries_[bucket.entry[way]].keep(code, instruction);
    }

private:
    // Instructions are looked for under their first bytes, up to keyBytes: most differ there.
    // A bucket keeps each way's first headBytes, so that only a match reads its entry.
    static constexpr std::size_t keyBytes = 5;
    static constexpr std::size_t headBytes = 8;
    static constexpr std::size_t ways = 4;
    static constexpr std::size_t slots = std::size_t{1} << 15;

    struct alignas(64) Bucket {
        std::array<std::uint64_t, ways> head{};
        std::array<std::uint32_t, ways> entry{};
        std::array<std::uint8_t, ways> length{}; // 0: empty
        std::uint8_t next = 0;
    };
    // An instruction as its bytes and layout, without what its address or its bytes tell again.
    struct Entry {
        struct Field {
            InstructionField::Kind kind;
            std::uint8_t offset;
            std::uint8_t size;
            std::int8_t base;
            std::int8_t index;
        };
        std::array<unsigned char, 15> bytes{};
        std::uint8_t length = 0;
        std::uint8_t fieldCount = 0;
        std::array<Field, 2> fields{};
        std::uint16_t mnemonic = 0;
        std::uint8_t memorySize = 0;
        std::int8_t loadsAddressInto = noRegister;
        bool branch = false;
        bool callOrJump = false;
        bool leads = false; // its relative field leads from the next instruction

        void keep(const unsigned char* code, const Instruction& kept) {
            std::memcpy(bytes.data(), code, kept.length);
            length = static_cast<std::uint8_t>(kept.length);
            fieldCount = static_cast<std::uint8_t>(kept.fields.size());
            for (std::size_t n = 0; n < kept.fields.size(); ++n) {
                const InstructionField& field = kept.fields[n];
                fields[n] = {field.kind, static_cast<std::uint8_t>(field.offset),
                             static_cast<std::uint8_t>(field.size),
                             static_cast<std::int8_t>(field.base),
                             static_cast<std::int8_t>(field.index)};
            }
            mnemonic = kept.mnemonic;
            memorySize = static_cast<std::uint8_t>(kept.memorySize);
            loadsAddressInto = static_cast<std::int8_t>(kept.loadsAddressInto);
            branch = kept.branch;
            callOrJump = kept.callOrJump;
            leads = kept.target.has_value();
        }

        Instruction instructionAt(const unsigned char* code, std::uint64_t address) const {
            Instruction instruction;
            instruction.length = length;
            for (std::size_t n = 0; n < fieldCount; ++n) {
                const Field& field = fields[n];
                instruction.fields.push_back(
                    {field.kind, field.offset, field.size,
                     encoded(code + field.offset, std::min<std::size_t>(field.size, 8)), field.base,
                     field.index});
            }
            instruction.mnemonic = mnemonic;
            instruction.memorySize = memorySize;
            instruction.loadsAddressInto = loadsAddressInto;
            instruction.branch = branch;
            instruction.callOrJump = callOrJump;
            if (leads) {
                instruction.target = address + length +
                                     static_cast<std::uint64_t>(instruction.relativeField()->value);
            }
            return instruction;
        }
    };

    static std::uint64_t headOf(const unsigned char* code, std::size_t size) {
        std::uint64_t bits = 0;
        std::memcpy(&bits, code, size);
        return bits;
    }
    static std::uint64_t maskOf(std::size_t bytes) {
        return bytes >= 8 ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * bytes)) - 1;
    }
    static std::size_t slotOf(std::uint64_t head, std::size_t key) {
        const std::uint64_t mixed =
            ((head & maskOf(key)) | std::uint64_t{key} << 56) * 0x9E3779B97F4A7C15;
        return static_cast<std::size_t>(mixed >> 49);
    }

    std::vector<Bucket> buckets_;
    std::vector<Entry> entries_;
};

// A Capstone handle with operand details on, and the one instruction it decodes into: an
// instruction and its details allocated once, not for every instruction decoded.
class Decoder {
public:
    Decoder() {
        // Capstone sets up its tables on the first open: never two at once.
        static std::mutex opening;
        const std::lock_guard<std::mutex> lock(opening);
        if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle_) == CS_ERR_OK) {
            cs_option(handle_, CS_OPT_DETAIL, CS_OPT_ON);
            insn_ = cs_malloc(handle_);
            open_ = insn_ != nullptr;
        }
    }
    ~Decoder() {
        if (insn_ != nullptr) {
            cs_free(insn_, 1);
        }
        if (handle_ != 0) {
            cs_close(&handle_);
        }
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    csh handle() const { return handle_; }
    bool open() const { return open_; }
    Remembered& remembered() { return remembered_; }
    cs_insn* insn() const { return insn_; }

private:
    csh handle_ = 0;
    cs_insn* insn_ = nullptr;
    bool open_ = false;
    Remembered remembered_;
};

// The thread's own (a plain pointer: a thread-local object with a destructor is not safely
// destroyed at every thread's exit on every platform), else the process's.
thread_local Decoder* own = nullptr;
thread_local std::uint64_t decodedHere = 0;

Decoder& decoder() {
    if (own != nullptr) {
        return *own;
    }
    static Decoder shared;
    return shared;
}

// The general register a Capstone register is a part of; noRegister for any other.
int generalRegisterOf(unsigned reg) {
    // Each general register's parts, by its number in the encoding.
    static const unsigned parts[16][5] = {
        {X86_REG_RAX, X86_REG_EAX, X86_REG_AX, X86_REG_AL, X86_REG_AH},
        {X86_REG_RCX, X86_REG_ECX, X86_REG_CX, X86_REG_CL, X86_REG_CH},
        {X86_REG_RDX, X86_REG_EDX, X86_REG_DX, X86_REG_DL, X86_REG_DH},
        {X86_REG_RBX, X86_REG_EBX, X86_REG_BX, X86_REG_BL, X86_REG_BH},
        {X86_REG_RSP, X86_REG_ESP, X86_REG_SP, X86_REG_SPL, X86_REG_SPL},
        {X86_REG_RBP, X86_REG_EBP, X86_REG_BP, X86_REG_BPL, X86_REG_BPL},
        {X86_REG_RSI, X86_REG_ESI, X86_REG_SI, X86_REG_SIL, X86_REG_SIL},
        {X86_REG_RDI, X86_REG_EDI, X86_REG_DI, X86_REG_DIL, X86_REG_DIL},
        {X86_REG_R8, X86_REG_R8D, X86_REG_R8W, X86_REG_R8B, X86_REG_R8B},
        {X86_REG_R9, X86_REG_R9D, X86_REG_R9W, X86_REG_R9B, X86_REG_R9B},
        {X86_REG_R10, X86_REG_R10D, X86_REG_R10W, X86_REG_R10B, X86_REG_R10B},
        {X86_REG_R11, X86_REG_R11D, X86_REG_R11W, X86_REG_R11B, X86_REG_R11B},
        {X86_REG_R12, X86_REG_R12D, X86_REG_R12W, X86_REG_R12B, X86_REG_R12B},
        {X86_REG_R13, X86_REG_R13D, X86_REG_R13W, X86_REG_R13B, X86_REG_R13B},
        {X86_REG_R14, X86_REG_R14D, X86_REG_R14W, X86_REG_R14B, X86_REG_R14B},
        {X86_REG_R15, X86_REG_R15D, X86_REG_R15W, X86_REG_R15B, X86_REG_R15B},
    };
    if (reg == X86_REG_INVALID) {
        return noRegister;
    }
    for (int n = 0; n < 16; ++n) {
        for (const unsigned part : parts[n]) {
            if (part == reg) {
                return n;
            }
        }
    }
    return noRegister;
}

// The same, looked up: every instruction asks it of each register it writes.
int generalRegister(unsigned reg) {
    static const auto table = [] {
        std::array<std::int8_t, X86_REG_ENDING> each{};
        for (unsigned n = 0; n < each.size(); ++n) {
            each[n] = static_cast<std::int8_t>(generalRegisterOf(n));
        }
        return each;
    }();
    return reg < table.size() ? table[reg] : noRegister;
}

// rax, rcx, rdx and r8 to r11: what a called function may leave changed.
constexpr RegisterSet callerSaved = 0x0F07;

// Where a ModRM byte's memory operand keeps its displacement: its offset and size, 0 for none.
// In 64-bit mode a displacement is 1 or 4 bytes, never 2; RIP-relative is always 4.
struct DisplacementPlace {
    std::size_t offset = 0;
    std::size_t size = 0;
    bool ripRelative = false;
};
DisplacementPlace displacementOf(const unsigned char* code, std::size_t modrmOffset) {
    const unsigned modrm = code[modrmOffset];
    const unsigned mod = modrm >> 6;
    const unsigned rm = modrm & 7;
    if (mod == 3) {
        return {};
    }
    const bool sib = rm == 4;
    const std::size_t offset = modrmOffset + 1 + (sib ? 1 : 0);
    if (mod == 1) {
        return {offset, 1, false};
    }
    if (mod == 2) {
        return {offset, 4, false};
    }
    if (rm == 5) {
        return {offset, 4, true};
    }
    if (sib && (code[modrmOffset + 1] & 7) == 5) {
        return {offset, 4, false}; // no base: [index*scale + disp32]
    }
    return {};
}

} // namespace

struct OwnDecoder::Held {
    Decoder decoder;
    Decoder* before = nullptr;
};

OwnDecoder::OwnDecoder() : held_(std::make_unique<Held>()) {
    held_->before = own;
    own = &held_->decoder;
}

OwnDecoder::~OwnDecoder() {
    own = held_->before;
}

void sideBySide(const std::function<void()>& here, const std::function<void()>& beside) {
    std::exception_ptr failed;
    std::thread helper([&] {
        try {
            const OwnDecoder decoder;
            beside();
        } catch (...) {
            failed = std::current_exception(); // told where the caller waits
        }
    });
    try {
        here();
    } catch (...) {
        helper.join();
        throw;
    }
    helper.join();
    if (failed) {
        std::rethrow_exception(failed);
    }
}

void eachSideBySide(std::size_t count, const std::function<void(std::size_t)>& work) {
    std::atomic<std::size_t> next = 0;
    const auto take = [&] {
        for (std::size_t k = next++; k < count; k = next++) {
            work(k);
        }
    };
    sideBySide(take, take);
}

std::uint64_t instructionsDecoded() {
    return decodedHere;
}

namespace {

std::optional<Instruction> decodeByCapstone(const unsigned char* code, std::size_t available,
                                            std::uint64_t address, Told told) {
    const csh handle = decoder().handle();
    cs_insn* decoded = decoder().insn();
    const std::uint8_t* at = code;
    std::size_t left = available;
    std::uint64_t from = address;
    if (!cs_disasm_iter(handle, &at, &left, &from, decoded)) {
        return std::nullopt;
    }
    Instruction instruction;
    instruction.length = decoded->size;
    if (told == Told::everything) {
        instruction.text = std::string(decoded->mnemonic) + " " + decoded->op_str;
        instruction.operandsAt = std::strlen(decoded->mnemonic) + 1;
    }
    instruction.mnemonic = static_cast<std::uint16_t>(decoded->id);
    instruction.callOrJump = decoded->id == X86_INS_CALL || decoded->id == X86_INS_JMP;
    const cs_x86& x86 = decoded->detail->x86;
    const bool branch =
        cs_insn_group(handle, decoded, CS_GRP_JUMP) || cs_insn_group(handle, decoded, CS_GRP_CALL);
    const cs_x86_op* memory = nullptr;
    for (std::uint8_t n = 0; n < x86.op_count; ++n) {
        if (x86.operands[n].type == X86_OP_MEM) {
            memory = &x86.operands[n];
        }
    }
    using Kind = InstructionField::Kind;
    const std::size_t length = decoded->size;
    const std::uint64_t next = address + length;
    std::size_t fieldsEnd = 0; // where the ModRM, SIB and displacement end
    DisplacementPlace displacement;
    if (memory != nullptr && x86.encoding.modrm_offset != 0) {
        displacement = displacementOf(code, x86.encoding.modrm_offset);
        fieldsEnd = displacement.size != 0 ? displacement.offset + displacement.size
                                           : x86.encoding.modrm_offset + 1u;
    } else if (memory != nullptr && x86.encoding.disp_size != 0) {
        displacement = {x86.encoding.disp_offset, x86.encoding.disp_size, false};
    }
    if (memory != nullptr && decoded->id != X86_INS_LEA) {
        instruction.memorySize = memory->size;
    }
    if (displacement.size != 0 && displacement.offset + displacement.size <= length) {
        // RIP-relative as the processor reads it: a 32-bit address size (0x67) makes it
        // EIP-relative, which is wildcarded but leads nowhere this tool follows.
        const bool relative = displacement.ripRelative || memory->mem.base == X86_REG_RIP ||
                              memory->mem.base == X86_REG_EIP;
        InstructionField field{relative ? Kind::relative : Kind::displacement,
                               displacement.offset,
                               displacement.size,
                               encoded(code + displacement.offset, displacement.size),
                               relative ? noRegister : generalRegister(memory->mem.base),
                               generalRegister(memory->mem.index)};
        instruction.fields.push_back(field);
        if (relative && memory->mem.base != X86_REG_EIP) {
            instruction.target = next + static_cast<std::uint64_t>(field.value);
            if (decoded->id == X86_INS_LEA && x86.op_count == 2 &&
                x86.operands[0].type == X86_OP_REG && x86.operands[0].size == 8) {
                instruction.loadsAddressInto = generalRegister(x86.operands[0].reg);
            }
        }
    }
    if (x86.encoding.imm_offset != 0) {
        // The immediate comes last: it runs to the instruction's end.
        const std::size_t offset = std::max<std::size_t>(x86.encoding.imm_offset, fieldsEnd);
        if (offset < length) {
            const std::size_t size = length - offset;
            const std::int64_t value = encoded(code + offset, std::min<std::size_t>(size, 8));
            // A branch's immediate is its target, given relative to the next instruction.
            instruction.fields.push_back(
                {branch ? Kind::relative : Kind::immediate, offset, size, value});
            if (branch) {
                instruction.branch = true;
                instruction.target = next + static_cast<std::uint64_t>(value);
            }
        }
    }
    if (told == Told::layout) {
        return instruction;
    }
    // Filled as far as the counts say: no need to clear them first.
    cs_regs read;
    cs_regs written;
    std::uint8_t readCount = 0;
    std::uint8_t writtenCount = 0;
    if (cs_regs_access(handle, decoded, read, &readCount, written, &writtenCount) == CS_ERR_OK) {
        for (std::uint8_t n = 0; n < writtenCount; ++n) {
            instruction.writes |= registerBit(generalRegister(written[n]));
        }
    } else {
        instruction.writes = 0xFFFF; // unknown: it may change any
    }
    if (cs_insn_group(handle, decoded, CS_GRP_CALL)) {
        instruction.writes |= callerSaved;
    }
    return instruction;
}

} // namespace

std::optional<Instruction> decodeInstruction(const unsigned char* code, std::size_t available,
                                             std::uint64_t address, Told told) {
    if (!decoder().open()) {
        return std::nullopt;
    }
    ++decodedHere;
    if (told != Told::layout) {
        return decodeByCapstone(code, available, address, told);
    }
    Remembered& remembered = decoder().remembered();
    if (std::optional<Instruction> found = remembered.find(code, available, address)) {
        return found;
    }
    std::optional<Instruction> fresh = decodeByCapstone(code, available, address, told);
    if (fresh) {
        remembered.keep(code, *fresh);
    }
    return fresh;
}

std::optional<Instruction> instructionAt(const ExecutableImage& image, std::uint64_t rva,
                                         std::uint64_t end, Told told) {
    const std::uint64_t limit = std::min<std::uint64_t>(end, image.bytes.size());
    if (rva >= limit) {
        return std::nullopt;
    }
    return decodeInstruction(image.bytes.data() + rva,
                             static_cast<std::size_t>(std::min<std::uint64_t>(15, limit - rva)),
                             image.imageBase + rva, told);
}

std::string clearedBytes(const unsigned char* code, const Instruction& instruction, Cleared which) {
    std::string bytes(reinterpret_cast<const char*>(code), instruction.length);
    for (const InstructionField& field : instruction.fields) {
        if (which == Cleared::every || field.kind == InstructionField::Kind::relative) {
            std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(field.offset), field.size,
                        '\0');
        }
    }
    return bytes;
}

} // namespace scan
