#include "engine/match/text_services.hpp"

#include "engine/match/unicode_text.hpp"

#include <unicode/uchar.h>
#include <unicode/ustring.h>
#include <unicode/utf16.h>

#include <vector>

namespace velatro::engine {

std::u32string to_upper(std::u32string_view text) {
    bool ascii = true;
    for (char32_t c : text) ascii = ascii && c < 0x80;
    if (ascii) {
        std::u32string out(text);
        for (char32_t& c : out)
            if (c >= U'a' && c <= U'z') c -= 32;
        return out;
    }
    std::vector<UChar> utf16;
    utf16.reserve(text.size() + 1);
    for (char32_t c : text) {
        if (c > 0xFFFF) {
            utf16.push_back(U16_LEAD(c));
            utf16.push_back(U16_TRAIL(c));
        } else {
            utf16.push_back(static_cast<UChar>(c));
        }
    }
    // The root locale: no language-specific casing (no Turkish dotted I and the like).
    std::vector<UChar> upper(utf16.size() * 3 + 8);
    UErrorCode status = U_ZERO_ERROR;
    int32_t n = u_strToUpper(upper.data(), static_cast<int32_t>(upper.size()), utf16.data(),
                             static_cast<int32_t>(utf16.size()), "", &status);
    if (status == U_BUFFER_OVERFLOW_ERROR) {
        upper.resize(n);
        status = U_ZERO_ERROR;
        n = u_strToUpper(upper.data(), n, utf16.data(), static_cast<int32_t>(utf16.size()), "",
                         &status);
    }
    if (U_FAILURE(status)) return std::u32string(text);
    std::u32string out;
    out.reserve(n);
    for (int32_t i = 0; i < n;) {
        UChar32 c;
        U16_NEXT(upper.data(), i, n, c);
        out += static_cast<char32_t>(c);
    }
    return out;
}

bool is_alphabetic(char32_t c) noexcept {
    if (c < 0x80) return (c | 0x20) >= U'a' && (c | 0x20) <= U'z';
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_ALPHABETIC);
}

bool is_white_space(char32_t c) noexcept {
    if (c < 0x80) return c == U' ' || (c >= U'\t' && c <= U'\r');
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE);
}

namespace {

// The character starting at byte i of s and its length in bytes; malformed bytes read
// as one non-space character.
char32_t char_at(std::string_view s, std::size_t i, std::size_t& len) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    len = c < 0x80 ? 1 : (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
    if (i + len > s.size()) {
        len = 1;
        return U'\uFFFD';
    }
    const std::u32string one = decode_utf8(s.substr(i, len));
    if (one.size() != 1) len = 1;
    return one[0];
}

}  // namespace

std::string_view trim_white_space(std::string_view s) {
    while (!s.empty()) {
        std::size_t len;
        const char32_t c = char_at(s, 0, len);
        if (!is_white_space(c)) break;
        s.remove_prefix(len);
    }
    while (!s.empty()) {
        std::size_t start = s.size() - 1;
        while (start > 0 && s.size() - start < 4 &&
               (static_cast<unsigned char>(s[start]) & 0xC0) == 0x80)
            --start;
        std::size_t len;
        const char32_t c = char_at(s, start, len);
        if (start + len != s.size()) {
            // A stray continuation byte: not white space.
            break;
        }
        if (!is_white_space(c)) break;
        s.remove_suffix(len);
    }
    return s;
}

}  // namespace velatro::engine
