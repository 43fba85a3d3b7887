// The Windows build has no Capstone to decode instructions with.

#include "scan/instructions.hpp"

namespace scan {

bool decodesInstructions() {
    return false;
}

std::optional<Instruction> decodeInstruction(const unsigned char*, std::size_t, std::uint64_t) {
    return std::nullopt;
}

} // namespace scan
