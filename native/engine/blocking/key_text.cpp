#include "engine/blocking/key_text.hpp"

#include "engine/blocking/char_windows.hpp"

namespace velatro::engine {
namespace {

constexpr bool is_digit(char c) noexcept {
    return c >= '0' && c <= '9';
}

std::size_t count_digits(std::string_view value) noexcept {
    std::size_t n = 0;
    for (const char c : value) n += is_digit(c) ? 1 : 0;
    return n;
}

// Appends the digits of value with ordinal positions [first, first + count) to out.
void append_digits(std::string_view value, std::size_t first, std::size_t count, std::string& out) {
    std::size_t index = 0;
    for (const char c : value) {
        if (!is_digit(c)) continue;
        if (index >= first + count) break;
        if (index++ >= first) out += c;
    }
}

}  // namespace

std::string_view first_initial(std::string_view value) noexcept {
    return value.empty() ? value : value.substr(0, char_length(value, 0));
}

void area_code(std::string_view value, std::string& out) {
    const std::size_t digits = count_digits(value);
    if (digits < 3) {
        out.assign(value);
        return;
    }
    std::size_t first = 0;
    if (digits >= 11) {
        for (const char c : value) {
            if (!is_digit(c)) continue;
            first = c == '1' ? 1 : 0;
            break;
        }
    }
    out.clear();
    append_digits(value, first, 3, out);
}

void last4(std::string_view value, std::string& out) {
    const std::size_t digits = count_digits(value);
    if (digits <= 3) {
        out.assign(value);
        return;
    }
    out.clear();
    append_digits(value, digits - 4, 4, out);
}

void append_trigrams(std::string_view value, TextList& out) {
    const std::size_t windows =
        for_each_char_window<3>(value, [&out](std::string_view window) { out.push(window); });
    if (windows == 0) out.push(value);
}

}  // namespace velatro::engine
