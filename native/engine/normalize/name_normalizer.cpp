#include "engine/normalize/name_normalizer.hpp"

#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {
namespace {

bool ascii_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// ASCII text is already NFC and lowercases byte by byte, so one pass does all three
// steps into a single output buffer.
std::string normalize_ascii_name(std::string_view text) {
    std::string out(text.size(), '\0');
    char* const begin = out.data();
    char* w = begin;
    bool pending_space = false;
    for (char c : text) {
        if (ascii_space(c)) {
            pending_space = w != begin;
            continue;
        }
        if (pending_space) *w++ = ' ';
        pending_space = false;
        *w++ = c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c;
    }
    out.resize(static_cast<std::size_t>(w - begin));
    return out;
}

}  // namespace

NormalizeResult NameNormalizer::normalize(std::string_view text) const {
    if (is_ascii(text)) return NormalizeResult::success(normalize_ascii_name(text));
    return NormalizeResult::success(fold_white_space(to_lowercase(to_nfc(text))));
}

}  // namespace velatro::engine
