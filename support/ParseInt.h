// Strict integer parsing for command lines, files and the environment.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace support {

// Decimal digits, with a leading '-' only where `min` is negative, or "0x" and hex
// digits where `hex` allows; no blanks, no '+', nothing after the number. Nullopt
// for anything else and for a value outside min..max (never wraps on the way).
std::optional<std::int64_t> parseInteger(std::string_view text, std::int64_t min, std::int64_t max,
                                         bool hex = false);

} // namespace support
