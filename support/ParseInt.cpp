#include "support/ParseInt.h"

namespace support {

std::optional<std::int64_t> parseInteger(std::string_view text, std::int64_t min, std::int64_t max,
                                         bool hex) {
    const bool negative = min < 0 && !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    unsigned base = 10;
    if (hex && !negative && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    if (text.empty() || min > max)
        return std::nullopt;
    // The largest magnitude the sign allows; -min is computed without overflowing.
    const std::uint64_t limit =
        negative ? static_cast<std::uint64_t>(-(min + 1)) + 1 : static_cast<std::uint64_t>(max < 0 ? 0 : max);
    std::uint64_t value = 0;
    for (const char c : text) {
        unsigned digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<unsigned>(c - 'A' + 10);
        else
            return std::nullopt;
        if (value > (limit - digit) / base)
            return std::nullopt;
        value = value * base + digit;
    }
    const std::int64_t result = !negative || value == 0 ? static_cast<std::int64_t>(value)
                                                        : -static_cast<std::int64_t>(value - 1) - 1;
    if (result < min || result > max)
        return std::nullopt;
    return result;
}

} // namespace support
