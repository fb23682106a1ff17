#pragma once
// Numbers in field values: optional sign, digits with an optional decimal point, an
// optional exponent, or the words inf, infinity and nan in any case. Nothing else, not
// even surrounding blanks, so ' 104' is not a number.
#include <optional>
#include <string_view>

namespace velatro::engine {

std::optional<double> parse_float(std::string_view text) noexcept;

}  // namespace velatro::engine
