#include "engine/uuid.hpp"

namespace velatro::engine {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// Hyphen positions of the 8-4-4-4-12 form.
constexpr bool is_hyphen_position(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void set_reason(std::string* reason, std::string text) {
    if (reason != nullptr) *reason = std::move(text);
}

// Index (1-based, in characters of the whole text) of the first offending character, for
// a reason the user can act on.
std::string character_reason(std::string_view whole, std::size_t index) {
    std::string out = "invalid character: expected [0-9a-fA-F-], found `";
    // Show the whole UTF-8 sequence of the offending character, not a lone byte.
    std::size_t end = index + 1;
    while (end < whole.size() && (static_cast<unsigned char>(whole[end]) & 0xC0) == 0x80) ++end;
    out.append(whole.substr(index, end - index));
    out += "` at ";
    std::size_t chars = 0;
    for (std::size_t i = 0; i <= index; ++i)
        if ((static_cast<unsigned char>(whole[i]) & 0xC0) != 0x80) ++chars;
    out += std::to_string(chars);
    return out;
}

}  // namespace

void Uuid::append_to(std::string& out) const {
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out.push_back('-');
        out.push_back(kHexDigits[bytes[i] >> 4]);
        out.push_back(kHexDigits[bytes[i] & 0x0F]);
    }
}

std::string Uuid::to_string() const {
    std::string out;
    out.reserve(36);
    append_to(out);
    return out;
}

std::optional<Uuid> Uuid::parse(std::string_view text, std::string* reason) {
    std::string_view body = text;
    std::size_t body_start = 0;
    bool hyphenated = true;
    constexpr std::string_view kUrn = "urn:uuid:";
    if (body.size() == 32) {
        hyphenated = false;
    } else if (body.size() == 38 && body.front() == '{') {
        if (body.back() != '}') {
            set_reason(reason, character_reason(text, 37));
            return std::nullopt;
        }
        body = body.substr(1, 36);
        body_start = 1;
    } else if (body.size() == 45 && body.starts_with(kUrn)) {
        body = body.substr(kUrn.size());
        body_start = kUrn.size();
    } else if (body.size() != 36) {
        std::size_t chars = 0;
        for (char c : text) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
        set_reason(reason, "invalid length: expected 32 hexadecimal digits, optionally in groups "
                           "of 8-4-4-4-12 separated by hyphens, found " +
                               std::to_string(chars) + (chars == 1 ? " character" : " characters"));
        return std::nullopt;
    }

    Uuid id;
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < body.size(); ++i) {
        char c = body[i];
        if (hyphenated && is_hyphen_position(i)) {
            if (c != '-') {
                set_reason(reason, hex_value(c) >= 0
                                       ? "invalid group length: expected hyphens at positions "
                                         "9, 14, 19 and 24"
                                       : character_reason(text, body_start + i));
                return std::nullopt;
            }
            continue;
        }
        int v = hex_value(c);
        if (v < 0) {
            set_reason(reason, character_reason(text, body_start + i));
            return std::nullopt;
        }
        auto& byte = id.bytes[nibble / 2];
        byte = static_cast<std::uint8_t>(nibble % 2 == 0 ? v << 4 : byte | v);
        ++nibble;
    }
    return id;
}

}  // namespace velatro::engine
