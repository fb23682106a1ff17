#include "document/float_text.hpp"

#include <charconv>
#include <cmath>

namespace velatro::document {

namespace {

// Shortest round-trip digits (no leading zeros, no point) and the exponent e with
// value = 0.d1d2... x 10^e. |value| must be finite and non-zero.
struct Digits {
    char buf[32];
    int len = 0;
    int exp = 0;
};

Digits shortest_digits(double value) {
    char sci[64];
    auto res =
        std::to_chars(sci, sci + sizeof sci, std::fabs(value), std::chars_format::scientific);
    Digits d;
    const char* p = sci;
    for (; p < res.ptr && *p != 'e'; ++p)
        if (*p != '.') d.buf[d.len++] = *p;
    // sci exponent x: value = d1.d2... x 10^x = 0.d1d2... x 10^(x+1)
    int x = 0;
    const char* q = p + 1;
    if (q < res.ptr && *q == '+') ++q;
    std::from_chars(q, res.ptr, x);
    d.exp = x + 1;
    while (d.len > 1 && d.buf[d.len - 1] == '0') --d.len;
    return d;
}

std::string fixed(double value, int decimals) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    // to_chars with a precision rounds the exact binary value, half to even, like
    // printf, without printf's cost.
    char buf[400];
    auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, decimals);
    return std::string(buf, res.ptr);
}

}  // namespace

void append_json_float(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    if (value == 0.0) {
        out += std::signbit(value) ? "-0.0" : "0.0";
        return;
    }
    if (value < 0) out += '-';
    Digits d = shortest_digits(value);
    const int e = d.exp;
    const bool integral = std::trunc(value) == value;
    if (integral && e <= 16) {
        out.append(d.buf, d.len);
        out.append(e - d.len, '0');
        out += ".0";
    } else if (e > 0 && e <= 16) {
        out.append(d.buf, e);
        out += '.';
        out.append(d.buf + e, d.len - e);
    } else if (e > -5 && e <= 0) {
        out += "0.";
        out.append(-e, '0');
        out.append(d.buf, d.len);
    } else {
        out += d.buf[0];
        if (d.len > 1) {
            out += '.';
            out.append(d.buf + 1, d.len - 1);
        }
        int x = e - 1;
        out += 'e';
        out += x < 0 ? '-' : '+';
        out += std::to_string(x < 0 ? -x : x);
    }
}

std::string json_float(double value) {
    std::string s;
    append_json_float(s, value);
    return s;
}

std::string plain_float(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
    std::string out;
    if (std::signbit(value)) out += '-';
    if (value == 0.0) return out + "0";
    Digits d = shortest_digits(value);
    const int e = d.exp;
    if (e <= 0) {
        out += "0.";
        out.append(-e, '0');
        out.append(d.buf, d.len);
    } else if (e >= d.len) {
        out.append(d.buf, d.len);
        out.append(e - d.len, '0');
    } else {
        out.append(d.buf, e);
        out += '.';
        out.append(d.buf + e, d.len - e);
    }
    return out;
}

std::string two_decimals(double value) {
    return fixed(value, 2);
}
std::string four_decimals(double value) {
    return fixed(value, 4);
}

}  // namespace velatro::document
