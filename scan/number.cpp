#include "scan/number.hpp"

#include <charconv>

namespace scan {

Outcome<std::uint64_t> parseUnsigned(std::string_view text, const std::string& refusal) {
    const bool hexadecimal = text.starts_with("0x") || text.starts_with("0X");
    const std::string_view digits = text.substr(hexadecimal ? 2 : 0);
    std::uint64_t value = 0;
    const auto [end, failure] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, hexadecimal ? 16 : 10);
    // from_chars takes a leading minus for a signed type only, but never a plus: both refused.
    if (digits.empty() || failure != std::errc() || end != digits.data() + digits.size() ||
        digits.front() == '-' || digits.front() == '+') {
        return Error{Error::Kind::badArgument, refusal};
    }
    return value;
}

Outcome<std::int64_t> parseSigned(std::string_view text, std::int64_t lowest, std::int64_t highest,
                                  const std::string& refusal) {
    const bool negative = text.starts_with('-');
    if (negative || text.starts_with('+')) {
        text.remove_prefix(1);
    }
    const Outcome<std::uint64_t> magnitude = parseUnsigned(text, refusal);
    // Compared as magnitudes, so that the lowest value of the type parses too.
    const std::uint64_t limit =
        negative ? 0 - static_cast<std::uint64_t>(lowest) : static_cast<std::uint64_t>(highest);
    if (!magnitude || *magnitude > limit || (negative ? lowest > 0 : highest < 0)) {
        return Error{Error::Kind::badArgument, refusal};
    }
    return negative ? static_cast<std::int64_t>(0 - *magnitude)
                    : static_cast<std::int64_t>(*magnitude);
}

} // namespace scan
