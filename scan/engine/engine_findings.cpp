#include "scan/engine/engine_findings.hpp"

#include "engine/pattern.hpp"

namespace scan {

std::vector<PatternFinding> findEngineGlobals(const ExecutableImage& image) {
    const std::array<BytePattern, 3>& patterns = engineBytePatterns;
    const std::vector<PatternMatches> matches = image.countMatches(patterns);
    std::vector<PatternFinding> findings;
    for (std::size_t n = 0; n < patterns.size(); ++n) {
        PatternFinding finding;
        finding.pattern = static_cast<int>(n + 1);
        finding.matches = matches[n].count;
        for (const unsigned char* match : matches[n].lowest) {
            finding.matchRvas.push_back(image.rvaOf(match));
        }
        if (!matches[n].lowest.empty()) {
            finding.matched = true;
            finding.matchRva = image.rvaOf(matches[n].lowest.front());
            finding.global = globalPlaceAt(
                image, image.relativeTargetRva(finding.matchRva, engineFieldOffset,
                                               engineInstructionLength, FieldReading::asUnsigned));
            finding.found = finding.global.insideImage || !enginePatterns[n].readsValue;
        }
        findings.push_back(finding);
    }
    return findings;
}

} // namespace scan
