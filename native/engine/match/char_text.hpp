#pragma once
// Field values are compared character by character, where a character is a Unicode
// scalar value. Most values are ASCII, so a value keeps its bytes as they are when it
// can and decodes to code points only when it has to; the measures are written once
// over either element type.
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {

using Bytes = std::span<const unsigned char>;
using Wide = std::span<const char32_t>;

// Malformed sequences become U+FFFD, one per offending byte.
std::u32string decode_utf8(std::string_view text);
void append_utf8(std::string& out, char32_t code_point);

inline Bytes as_bytes(std::string_view text) noexcept {
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

// A value decoded once, ahead of many comparisons.
class CharText {
  public:
    CharText() = default;
    explicit CharText(std::string_view utf8);

    bool ascii() const noexcept { return chars_.index() == 0; }
    std::size_t size() const noexcept { return ascii() ? bytes().size() : wide().size(); }
    // Only the view matching ascii() is meaningful.
    Bytes bytes() const noexcept {
        const auto* s = std::get_if<std::string>(&chars_);
        return s ? as_bytes(*s) : Bytes{};
    }
    Wide wide() const noexcept {
        const auto* w = std::get_if<std::u32string>(&chars_);
        return w ? Wide{w->data(), w->size()} : Wide{};
    }

    template <class F>
    decltype(auto) visit(F&& f) const {
        return ascii() ? f(bytes()) : f(wide());
    }

  private:
    std::variant<std::string, std::u32string> chars_;
};

template <class F>
decltype(auto) visit_pair(const CharText& a, const CharText& b, F&& f) {
    if (a.ascii()) return b.ascii() ? f(a.bytes(), b.bytes()) : f(a.bytes(), b.wide());
    return b.ascii() ? f(a.wide(), b.bytes()) : f(a.wide(), b.wide());
}

// Runs f over the two texts as character spans, decoding only when one of them is not
// ASCII (the common pair costs no copy).
template <class F>
decltype(auto) with_characters(std::string_view a, std::string_view b, F&& f) {
    if (is_ascii(a) && is_ascii(b)) return f(as_bytes(a), as_bytes(b));
    return visit_pair(CharText(a), CharText(b), f);
}

}  // namespace velatro::engine
