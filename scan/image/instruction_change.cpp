#include "scan/image/instruction_change.hpp"

#include "scan/hex.hpp"

#include <string_view>

namespace scan {

namespace {

// The operands as the text separates them: Intel syntax puts no comma inside one.
std::vector<std::string> operandsOf(const Instruction& instruction) {
    std::vector<std::string> operands;
    std::string_view rest = std::string_view(instruction.text)
                                .substr(std::min(instruction.operandsAt, instruction.text.size()));
    while (!rest.empty()) {
        const std::size_t comma = rest.find(", ");
        operands.emplace_back(rest.substr(0, comma));
        rest.remove_prefix(comma == std::string_view::npos ? rest.size() : comma + 2);
    }
    return operands;
}

bool isMemory(const std::string& operand) {
    return operand.find('[') != std::string::npos;
}

// The index of the operand holding the field; operands.size() for none.
std::size_t operandIndexOf(const Instruction& instruction, const std::vector<std::string>& operands,
                           const InstructionField& field) {
    if (field.kind != InstructionField::Kind::immediate &&
        !(field.kind == InstructionField::Kind::relative && instruction.branch)) {
        for (std::size_t n = 0; n < operands.size(); ++n) {
            if (isMemory(operands[n])) {
                return n;
            }
        }
        return operands.size();
    }
    // Immediates follow the other operands: the k-th immediate from the end is the k-th operand
    // from the end that is no memory.
    std::size_t fromEnd = 0;
    bool counting = false;
    for (auto each = instruction.fields.rbegin(); each != instruction.fields.rend(); ++each) {
        if (&*each == &field) {
            counting = true;
            break;
        }
        fromEnd += each->kind == InstructionField::Kind::immediate ||
                           (each->kind == InstructionField::Kind::relative && instruction.branch)
                       ? 1
                       : 0;
    }
    for (std::size_t n = operands.size(); counting && n-- > 0;) {
        if (!isMemory(operands[n]) && fromEnd-- == 0) {
            return n;
        }
    }
    return operands.size();
}

// A memory operand without its size: "qword ptr gs:[0x58]" is "gs:[0x58]".
std::string withoutSize(const std::string& operand) {
    const std::size_t ptr = operand.find("ptr ");
    return ptr == std::string::npos ? operand : operand.substr(ptr + 4);
}

} // namespace

std::string operandOf(const Instruction& instruction, const InstructionField& field) {
    const std::vector<std::string> operands = operandsOf(instruction);
    const std::size_t n = operandIndexOf(instruction, operands, field);
    return n < operands.size() ? withoutSize(operands[n]) : std::string();
}

InstructionText instructionText(const ExecutableImage& image, std::uint64_t rva,
                                const Instruction& instruction) {
    InstructionText shown{rva, instruction.text, {}};
    shown.bytes.assign(image.bytes.data() + rva, image.bytes.data() + rva + instruction.length);
    const InstructionField* relative = instruction.relativeField();
    if (relative != nullptr && instruction.target) {
        std::vector<std::string> operands = operandsOf(instruction);
        const std::size_t n = operandIndexOf(instruction, operands, *relative);
        const std::string target = hex(*instruction.target - image.imageBase);
        if (n < operands.size()) {
            std::string& operand = operands[n];
            const std::size_t open = operand.find('[');
            operand = open == std::string::npos ? target
                                                : operand.substr(0, open) + "[rva " + target + "]";
            shown.text = instruction.text.substr(0, instruction.operandsAt);
            for (std::size_t k = 0; k < operands.size(); ++k) {
                shown.text += (k == 0 ? "" : ", ") + operands[k];
            }
        }
    }
    while (!shown.text.empty() && shown.text.back() == ' ') {
        shown.text.pop_back(); // "ret " has no operands
    }
    return shown;
}

std::vector<FieldValue> fieldValues(const Instruction& older, const Instruction& newer,
                                    bool every) {
    std::vector<FieldValue> values;
    for (std::size_t n = 0; n < older.fields.size() && n < newer.fields.size(); ++n) {
        const InstructionField& a = older.fields[n];
        const InstructionField& b = newer.fields[n];
        if (a.kind == InstructionField::Kind::relative || a.kind != b.kind ||
            (!every && a.value == b.value)) {
            continue;
        }
        values.push_back(
            {a.kind, operandOf(older, a), operandOf(newer, b), a.value, b.value, a.base});
    }
    return values;
}

} // namespace scan
