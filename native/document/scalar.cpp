#include "document/scalar.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace velatro::document {
namespace {

bool all_digits(std::string_view s, int base) {
    if (s.empty()) return false;
    for (char c : s) {
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        if (d >= base) return false;
    }
    return true;
}

// Magnitude of an unsigned literal (decimal or prefixed). nullopt-like: returns
// false when this is not an integer literal at all; sets overflow when it is one
// but does not fit 64 bits.
bool parse_magnitude(std::string_view s, std::uint64_t& out, bool& overflow) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'o' || s[1] == 'b')) {
        base = s[1] == 'x' ? 16 : s[1] == 'o' ? 8 : 2;
        s.remove_prefix(2);
    } else if (s.size() > 1 && s[0] == '0') {
        return false;  // 007 stays text
    }
    if (!all_digits(s, base)) return false;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), out, base);
    overflow = ec == std::errc::result_out_of_range;
    return ec == std::errc() || overflow;
}

// Decimal float grammar: [sign] (digits [. [digits]] | . digits) [(e|E) [sign] digits]
bool is_float_text(std::string_view s) {
    std::size_t i = 0, n = s.size();
    if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
    std::size_t int_digits = 0, frac_digits = 0;
    while (i < n && s[i] >= '0' && s[i] <= '9') ++i, ++int_digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && s[i] >= '0' && s[i] <= '9') ++i, ++frac_digits;
    }
    if (int_digits + frac_digits == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < n && s[i] >= '0' && s[i] <= '9') ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == n;
}

}  // namespace

bool is_null_word(std::string_view t) {
    return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL";
}

int bool_word(std::string_view t) {
    if (t == "true" || t == "True" || t == "TRUE") return 1;
    if (t == "false" || t == "False" || t == "FALSE") return 0;
    return -1;
}

Resolved resolve_plain(std::string_view t) {
    Resolved r;
    if (is_null_word(t)) {
        r.kind = ScalarKind::Null;
        return r;
    }
    if (int b = bool_word(t); b >= 0) {
        r.kind = ScalarKind::Bool;
        r.b = b == 1;
        return r;
    }

    bool negative = false;
    std::string_view body = t;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    std::uint64_t mag = 0;
    bool overflow = false;
    if (parse_magnitude(body, mag, overflow)) {
        constexpr std::uint64_t kMinMagnitude = std::uint64_t{1} << 63;
        if (overflow || (negative && mag > kMinMagnitude)) {
            r.kind = ScalarKind::OutOfRange;
        } else if (negative && mag != 0) {
            r.kind = ScalarKind::Int;
            r.i = mag == kMinMagnitude ? std::numeric_limits<std::int64_t>::min()
                                       : -static_cast<std::int64_t>(mag);
        } else {
            r.kind = ScalarKind::UInt;
            r.u = mag;
        }
        return r;
    }
    // A leading-zero digit run (007, -012) is text, not a number.
    if (body.size() > 1 && body[0] == '0' && all_digits(body, 10)) return r;

    std::string_view unsigned_part = t;
    bool minus = false;
    if (!unsigned_part.empty() && (unsigned_part[0] == '+' || unsigned_part[0] == '-')) {
        minus = unsigned_part[0] == '-';
        unsigned_part.remove_prefix(1);
    }
    if (unsigned_part == ".inf" || unsigned_part == ".Inf" || unsigned_part == ".INF") {
        r.kind = ScalarKind::Float;
        r.f = minus ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
        return r;
    }
    if (t == ".nan" || t == ".NaN" || t == ".NAN") {
        r.kind = ScalarKind::Float;
        r.f = std::numeric_limits<double>::quiet_NaN();
        return r;
    }
    if (is_float_text(t)) {
        // from_chars does not take a leading '+'.
        std::string_view digits = t[0] == '+' ? t.substr(1) : t;
        double v = 0.0;
        auto [ptr, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), v);
        if (ec == std::errc::result_out_of_range) {
            // Overflow reads as infinity, underflow as (signed) zero: the value the
            // decimal text denotes, rounded.
            bool neg = digits[0] == '-';
            bool huge = false;
            auto epos = digits.find_first_of("eE");
            if (epos != std::string_view::npos && digits.size() > epos + 1)
                huge = digits[epos + 1] != '-';
            else
                huge = true;
            v = huge ? std::numeric_limits<double>::infinity() : 0.0;
            if (neg) v = -v;
        } else if (ec != std::errc()) {
            return r;
        }
        r.kind = ScalarKind::Float;
        r.f = v;
        return r;
    }
    return r;
}

}  // namespace velatro::document
