// Instructions decoded by Capstone, built from the same sources in both builds.

#include "scan/instructions.hpp"

#include <capstone/capstone.h>

#include <memory>

namespace scan {

namespace {

// One decoder for the process, with operand details on.
class Decoder {
public:
    Decoder() {
        if (cs_open(CS_ARCH_X86, CS_MODE_64, &handle_) == CS_ERR_OK) {
            cs_option(handle_, CS_OPT_DETAIL, CS_OPT_ON);
            open_ = true;
        }
    }
    ~Decoder() {
        if (open_) {
            cs_close(&handle_);
        }
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    csh handle() const { return handle_; }
    bool open() const { return open_; }

private:
    csh handle_ = 0;
    bool open_ = false;
};

Decoder& decoder() {
    static Decoder shared;
    return shared;
}

} // namespace

std::optional<Instruction> decodeInstruction(const unsigned char* code, std::size_t available,
                                             std::uint64_t address) {
    if (!decoder().open()) {
        return std::nullopt;
    }
    const csh handle = decoder().handle();
    cs_insn* decoded = nullptr;
    if (cs_disasm(handle, code, available, address, 1, &decoded) != 1) {
        return std::nullopt;
    }
    const std::unique_ptr<cs_insn, void (*)(cs_insn*)> owned(
        decoded, [](cs_insn* each) { cs_free(each, 1); });
    Instruction instruction;
    instruction.length = decoded->size;
    instruction.text = std::string(decoded->mnemonic) + " " + decoded->op_str;
    const cs_x86& x86 = decoded->detail->x86;
    const bool branch =
        cs_insn_group(handle, decoded, CS_GRP_JUMP) || cs_insn_group(handle, decoded, CS_GRP_CALL);
    bool ripRelative = false;
    bool registerBased = false;
    std::int64_t immediate = 0;
    for (std::uint8_t n = 0; n < x86.op_count; ++n) {
        const cs_x86_op& operand = x86.operands[n];
        if (operand.type == X86_OP_MEM) {
            ripRelative = ripRelative || operand.mem.base == X86_REG_RIP;
            registerBased =
                registerBased ||
                (operand.mem.base != X86_REG_RIP &&
                 (operand.mem.base != X86_REG_INVALID || operand.mem.index != X86_REG_INVALID));
        }
        if (operand.type == X86_OP_IMM) {
            immediate = operand.imm;
        }
    }
    using Kind = InstructionField::Kind;
    const std::uint64_t next = address + decoded->size;
    if (x86.encoding.disp_offset != 0 && x86.encoding.disp_size != 0) {
        instruction.fields.push_back({ripRelative ? Kind::relative : Kind::displacement,
                                      x86.encoding.disp_offset, x86.encoding.disp_size, x86.disp,
                                      registerBased && !ripRelative});
        if (ripRelative) {
            instruction.target = next + static_cast<std::uint64_t>(x86.disp);
        }
    }
    if (x86.encoding.imm_offset != 0 && x86.encoding.imm_size != 0) {
        // A branch's immediate is its target, given relative to the next instruction.
        instruction.fields.push_back({branch ? Kind::relative : Kind::immediate,
                                      x86.encoding.imm_offset, x86.encoding.imm_size, immediate});
        if (branch) {
            instruction.branch = true;
            instruction.target = static_cast<std::uint64_t>(immediate);
        }
    }
    return instruction;
}

} // namespace scan
