#pragma once
// Numbers as modders write them: decimal digits, or 0x and hexadecimal digits, with a sign where
// the number may be negative. One parser for every number the tool reads; each caller says in its
// own words what it wanted when the text is none.

#include "scan/error.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace scan {

// The text as an unsigned number; a badArgument error with `refusal` as its detail when it is
// empty, holds anything but the digits, or does not fit in 64 bits.
Outcome<std::uint64_t> parseUnsigned(std::string_view text, const std::string& refusal);

// The same with an optional + or - first, within [lowest, highest].
Outcome<std::int64_t> parseSigned(std::string_view text, std::int64_t lowest, std::int64_t highest,
                                  const std::string& refusal);

} // namespace scan
