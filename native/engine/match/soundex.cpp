#include "engine/match/soundex.hpp"

#include "engine/match/char_text.hpp"
#include "engine/match/text_services.hpp"

namespace velatro::engine {

namespace {

// Digits of A to Z; vowels, Y, H and W code as 0.
constexpr char kDigits[] = "01230120022455012623010202";

// Letters outside A to Z (accented or non-Latin, after upper-casing) have no digit.
// They are coded '0' like vowels: they separate equal digits and write nothing, so a
// name keeps the code of its Latin letters.
char digit_of(char32_t c) {
    return c >= U'A' && c <= U'Z' ? kDigits[c - U'A'] : '0';
}

std::string code_of(const std::u32string& letters) {
    std::string code;
    if (letters.empty()) return code;
    append_utf8(code, letters[0]);
    char previous = digit_of(letters[0]);
    int written = 0;
    for (std::size_t i = 1; i < letters.size() && written < 3; ++i) {
        const char32_t c = letters[i];
        if (c == U'H' || c == U'W') continue;
        const char d = digit_of(c);
        if (d != '0' && d != previous) {
            code += d;
            ++written;
        }
        previous = d;
    }
    code.append(3 - written, '0');
    return code;
}

}  // namespace

std::string soundex(std::string_view value) {
    std::u32string letters;
    if (is_ascii(value)) {
        letters.reserve(value.size());
        for (char c : value) {
            if (c >= 'a' && c <= 'z')
                letters += static_cast<char32_t>(c - 32);
            else if (c >= 'A' && c <= 'Z')
                letters += static_cast<char32_t>(c);
        }
        return code_of(letters);
    }
    for (char32_t c : decode_utf8(value))
        if (is_alphabetic(c)) letters += c;
    return code_of(to_upper(letters));
}

}  // namespace velatro::engine
