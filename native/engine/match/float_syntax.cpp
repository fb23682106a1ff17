#include "engine/match/float_syntax.hpp"

#include <charconv>
#include <cmath>
#include <limits>

namespace velatro::engine {

namespace {

bool equals_ignoring_case(std::string_view text, std::string_view lower) {
    if (text.size() != lower.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i)
        if ((text[i] | 0x20) != lower[i]) return false;
    return true;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// Checks the decimal syntax; from_chars is laxer in places (it has its own words) and
// stricter in others (no leading plus), so the text is vetted first.
bool decimal_syntax(std::string_view s) {
    std::size_t i = 0, n = s.size();
    std::size_t digits = 0;
    while (i < n && is_digit(s[i])) ++i, ++digits;
    if (i < n && s[i] == '.') {
        ++i;
        while (i < n && is_digit(s[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < n && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < n && (s[i] == '+' || s[i] == '-')) ++i;
        std::size_t exp_digits = 0;
        while (i < n && is_digit(s[i])) ++i, ++exp_digits;
        if (exp_digits == 0) return false;
    }
    return i == n;
}

// For a vetted text that is out of range: true when its magnitude is beyond the largest
// double (it reads as infinity), false when below the smallest (it reads as zero).
bool overflows(std::string_view s) {
    long long magnitude = 0;  // decimal exponent of the first significant digit, plus one
    bool seen = false, after_point = false;
    std::size_t i = 0;
    for (; i < s.size() && s[i] != 'e' && s[i] != 'E'; ++i) {
        if (s[i] == '.') {
            after_point = true;
        } else if (!seen && s[i] == '0') {
            if (after_point) --magnitude;
        } else {
            seen = true;
            if (!after_point) ++magnitude;
        }
    }
    long long exponent = 0;
    bool exp_negative = false;
    if (i < s.size()) {
        ++i;
        if (s[i] == '+' || s[i] == '-') exp_negative = s[i++] == '-';
        for (; i < s.size() && exponent < 1'000'000'000; ++i)
            exponent = exponent * 10 + (s[i] - '0');
    }
    return magnitude + (exp_negative ? -exponent : exponent) > 0;
}

}  // namespace

std::optional<double> parse_float(std::string_view text) noexcept {
    bool negative = false;
    std::string_view body = text;
    if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
        negative = body[0] == '-';
        body.remove_prefix(1);
    }
    if (equals_ignoring_case(body, "inf") || equals_ignoring_case(body, "infinity"))
        return negative ? -std::numeric_limits<double>::infinity()
                        : std::numeric_limits<double>::infinity();
    if (equals_ignoring_case(body, "nan")) return std::numeric_limits<double>::quiet_NaN();
    if (!decimal_syntax(body)) return std::nullopt;
    double value = 0.0;
    auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), value);
    if (ec == std::errc::result_out_of_range) {
        value = overflows(body) ? std::numeric_limits<double>::infinity() : 0.0;
    } else if (ec != std::errc() || end != body.data() + body.size()) {
        return std::nullopt;
    }
    return negative ? -value : value;
}

}  // namespace velatro::engine
