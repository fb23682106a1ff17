#include "engine/normalize/unicode_text.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <array>
#include <stdexcept>

namespace velatro::engine {
namespace {

constexpr std::array<bool, 128> kAsciiWhiteSpace = [] {
    std::array<bool, 128> table{};
    for (char c : {'\t', '\n', '\v', '\f', '\r', ' '}) table[static_cast<unsigned char>(c)] = true;
    return table;
}();

bool ascii_white_space(unsigned char c) { return c < 128 && kAsciiWhiteSpace[c]; }

// Decodes one character forward; ill-formed bytes come back as negative values, which
// are never whitespace, so malformed text is carried through rather than dropped.
UChar32 next_char(std::string_view text, std::size_t& i) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    auto pos = static_cast<std::int32_t>(i);
    UChar32 c = 0;
    U8_NEXT(s, pos, length, c);
    i = static_cast<std::size_t>(pos);
    return c;
}

UChar32 previous_char(std::string_view text, std::size_t& end) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    auto pos = static_cast<std::int32_t>(end);
    UChar32 c = 0;
    U8_PREV(s, 0, pos, c);
    end = static_cast<std::size_t>(pos);
    return c;
}

bool white_space_at(UChar32 c) { return c >= 0 && is_white_space(static_cast<char32_t>(c)); }

[[noreturn]] void icu_failure(const char* what, UErrorCode status) {
    // Only allocation failure or a broken ICU installation get here.
    throw std::runtime_error(std::string(what) + ": " + u_errorName(status));
}

const icu::Normalizer2& nfc_instance() {
    static const icu::Normalizer2* instance = [] {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* n = icu::Normalizer2::getNFCInstance(status);
        if (U_FAILURE(status)) icu_failure("NFC data unavailable", status);
        return n;
    }();
    return *instance;
}

}  // namespace

bool is_ascii(std::string_view text) noexcept {
    unsigned char any = 0;
    for (char c : text) any |= static_cast<unsigned char>(c);
    return any < 0x80;
}

bool is_white_space(char32_t c) noexcept {
    if (c < 128) return kAsciiWhiteSpace[c];
    return u_hasBinaryProperty(static_cast<UChar32>(c), UCHAR_WHITE_SPACE) != 0;
}

std::string_view trim_white_space(std::string_view text) noexcept {
    std::size_t begin = 0;
    while (begin < text.size()) {
        const auto c = static_cast<unsigned char>(text[begin]);
        if (c < 128) {
            if (!ascii_white_space(c)) break;
            ++begin;
            continue;
        }
        std::size_t next = begin;
        if (!white_space_at(next_char(text, next))) break;
        begin = next;
    }
    std::size_t end = text.size();
    while (end > begin) {
        const auto c = static_cast<unsigned char>(text[end - 1]);
        if (c < 128) {
            if (!ascii_white_space(c)) break;
            --end;
            continue;
        }
        std::size_t previous = end;
        if (!white_space_at(previous_char(text, previous)) || previous < begin) break;
        end = previous;
    }
    return text.substr(begin, end - begin);
}

std::string to_lowercase(std::string_view text) {
    if (is_ascii(text)) {
        std::string out(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        return out;
    }
    std::string out;
    out.reserve(text.size());
    icu::StringByteSink<std::string> sink(&out);
    UErrorCode status = U_ZERO_ERROR;
    icu::CaseMap::utf8ToLower("", 0, icu::StringPiece(text.data(), static_cast<int32_t>(text.size())),
                              sink, nullptr, status);
    if (U_FAILURE(status)) icu_failure("lowercase mapping failed", status);
    return out;
}

std::string to_nfc(std::string_view text) {
    if (is_ascii(text)) return std::string(text);  // ASCII is always in NFC
    const icu::Normalizer2& nfc = nfc_instance();
    const icu::StringPiece piece(text.data(), static_cast<int32_t>(text.size()));
    UErrorCode status = U_ZERO_ERROR;
    if (nfc.isNormalizedUTF8(piece, status) && U_SUCCESS(status)) return std::string(text);
    status = U_ZERO_ERROR;
    std::string out;
    out.reserve(text.size());
    icu::StringByteSink<std::string> sink(&out);
    nfc.normalizeUTF8(0, piece, sink, nullptr, status);
    if (U_FAILURE(status)) icu_failure("NFC normalisation failed", status);
    return out;
}

std::string fold_white_space(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool pending_space = false;
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t next = i;
        const bool space =
            c < 128 ? ascii_white_space(text[next++]) : white_space_at(next_char(text, next));
        if (space) {
            pending_space = !out.empty();
        } else {
            if (pending_space) out.push_back(' ');
            pending_space = false;
            out.append(text.substr(i, next - i));
        }
        i = next;
    }
    return out;
}

}  // namespace velatro::engine
