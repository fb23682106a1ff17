#pragma once
// Resolution of plain (unquoted, untagged) YAML scalars, in this order: null,
// booleans, integers (decimal, 0x, 0o, 0b), leading-zero digit runs stay text,
// floats (.inf/.nan included), anything else is text.
#include <cstdint>
#include <string_view>

namespace velatro::document {

enum class ScalarKind : std::uint8_t { Null, Bool, UInt, Int, Float, String, OutOfRange };

struct Resolved {
    ScalarKind kind = ScalarKind::String;
    bool b = false;
    std::uint64_t u = 0;
    std::int64_t i = 0;
    double f = 0.0;  // may be infinite or NaN: the caller decides what that becomes
};

// OutOfRange: an integer literal that fits neither 64-bit range; readers reject it.
Resolved resolve_plain(std::string_view text);

bool is_null_word(std::string_view text);
// Returns 1 for a true word, 0 for a false word, -1 otherwise.
int bool_word(std::string_view text);

}  // namespace velatro::document
