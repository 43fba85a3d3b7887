#pragma once
// Two builds' functions made by hand, as the matcher reads them, without a PE file: each function
// its instruction shapes, what each instruction leads to, and the constants and imports it uses.

#include "scan/image/build_functions.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace testing_support::hand {

struct Made {
    Made(std::string name_, std::vector<std::uint32_t> shapes_,
         std::map<std::size_t, std::string> leadsTo_ = {},
         std::vector<std::uint64_t> constants_ = {}, std::vector<std::uint64_t> imports_ = {},
         std::uint64_t bytes_ = 0)
        : name(std::move(name_)), shapes(std::move(shapes_)), leadsTo(std::move(leadsTo_)),
          constants(std::move(constants_)), imports(std::move(imports_)), bytes(bytes_) {}

    std::string name;
    std::vector<std::uint32_t> shapes;          // one per instruction
    std::map<std::size_t, std::string> leadsTo; // step to the function it calls
    std::vector<std::uint64_t> constants;       // contents of read-only data it uses
    std::vector<std::uint64_t> imports;         // hashes of what it imports
    std::uint64_t bytes;                        // for short code: its bytes; else its shape
};

// The functions 0x100 apart from 0x1000, in the order given (the names give their calls).
inline scan::BuildFunctions built(const std::vector<Made>& made) {
    scan::BuildFunctions functions;
    std::map<std::string, std::uint32_t> index;
    for (std::uint32_t n = 0; n < made.size(); ++n) {
        index[made[n].name] = n;
    }
    for (std::uint32_t n = 0; n < made.size(); ++n) {
        const Made& each = made[n];
        scan::BuildFunction function;
        function.begin = 0x1000 + 0x100 * n;
        function.end = function.begin + static_cast<std::uint32_t>(each.shapes.size());
        function.firstStep = static_cast<std::uint32_t>(functions.shapes.size());
        function.steps = static_cast<std::uint32_t>(each.shapes.size());
        std::uint64_t shape = 0xCBF29CE484222325;
        if (!each.shapes.empty()) {
            functions.pieces.push_back({function.firstStep, function.begin, n});
        }
        for (std::size_t step = 0; step < each.shapes.size(); ++step) {
            shape = (shape ^ each.shapes[step]) * 0x100000001B3;
            functions.shapes.push_back(each.shapes[step]);
            // here the same as its shape
            functions.mnemonics.push_back(static_cast<std::uint16_t>(each.shapes[step]));
            functions.lengths.push_back(1);
            if (const auto callee = each.leadsTo.find(step); callee != each.leadsTo.end()) {
                functions.links.push_back({static_cast<std::uint32_t>(function.firstStep + step),
                                           index.at(callee->second)});
            }
        }
        function.shape = shape;
        function.bytes = each.bytes != 0 ? each.bytes : shape;
        functions.functions.push_back(function);
        for (const std::uint64_t content : each.constants) {
            functions.data.push_back({n, content});
        }
        for (const std::uint64_t content : each.imports) {
            functions.imports.push_back({n, content});
        }
    }
    functions.index();
    return functions;
}

// Shapes 1..n offset by base: code of n instructions that no other function shares with it
// unless it is given the same base.
inline std::vector<std::uint32_t> code(std::uint32_t base, std::uint32_t n) {
    std::vector<std::uint32_t> shapes;
    for (std::uint32_t k = 0; k < n; ++k) {
        shapes.push_back(base + k);
    }
    return shapes;
}

} // namespace testing_support::hand
