#include "engine/match/text_services.hpp"

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

}  // namespace velatro::engine
