#include "spec/read_cursor.hpp"

#include <cmath>
#include <cstdio>

#include "document/float_text.hpp"
#include "document/scalar.hpp"

namespace velatro::spec {

using document::Node;

Cursor Cursor::key(std::string_view key, const Node& value) const {
    Cursor c = *this;
    c.node_ = &value;
    if (mode_ == ReadMode::Direct) {
        if (!c.path_.empty()) c.path_ += '.';
        c.path_ += key;
        c.mark_ = value.mark;
    }
    return c;
}

Cursor Cursor::index(std::size_t i, const Node& value) const {
    Cursor c = *this;
    c.node_ = &value;
    if (mode_ == ReadMode::Direct) {
        c.path_ += '[';
        c.path_ += std::to_string(i);
        c.path_ += ']';
        c.mark_ = value.mark;
    }
    return c;
}

Cursor Cursor::whole() const {
    Cursor c = *this;
    c.mode_ = ReadMode::Whole;
    return c;
}

Cursor Cursor::with_node(const Node& node) const {
    Cursor c = *this;
    c.node_ = &node;
    return c;
}

void Cursor::fail(std::string_view message) const {
    std::string text;
    if (!path_.empty()) {
        text = path_;
        text += ": ";
    }
    const std::size_t prefix_length = text.size();
    text += message;
    text += document::location_suffix(mark_);
    throw SpecReadError(std::move(text), mark_, prefix_length);
}

void Cursor::invalid_type(std::string_view expected) const {
    fail("invalid type: " + describe_found(*node_) + ", expected " + std::string(expected));
}

void Cursor::invalid_value(std::string_view found, std::string_view expected) const {
    fail("invalid value: " + std::string(found) + ", expected " + std::string(expected));
}

void Cursor::invalid_length(std::size_t length, std::string_view expected) const {
    fail("invalid length " + std::to_string(length) + ", expected " + std::string(expected));
}

void Cursor::missing_field(std::string_view name) const {
    fail("missing field `" + std::string(name) + "`");
}

void Cursor::duplicate_field(std::string_view name) const {
    fail("duplicate field `" + std::string(name) + "`");
}

void Cursor::unknown_variant(std::string_view value, const std::string_view* names,
                             std::size_t count) const {
    std::string message = "unknown variant `" + std::string(value) + "`, ";
    if (count == 0)
        message += "there are no variants";
    else
        message += "expected " + describe_choices(names, count);
    fail(message);
}

namespace {

// Text in double quotes with the escapes of a string literal, so that control
// characters in a user's value cannot break the message apart.
std::string quoted_literal(std::string_view text) {
    std::string out = "\"";
    for (unsigned char ch : text) {
        switch (ch) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\0':
                out += "\\0";
                break;
            default:
                if (ch < 0x20 || ch == 0x7f) {
                    char buf[16];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(ch));
                    out += buf;
                } else {
                    out += static_cast<char>(ch);
                }
        }
    }
    out += '"';
    return out;
}

// Float text that always shows it is a float: 1.0 rather than 1.
std::string float_with_point(double value) {
    std::string text = document::plain_float(value);
    if (std::isfinite(value) && text.find('.') == std::string::npos) text += ".0";
    return text;
}

}  // namespace

bool is_null(const Node& node) {
    return node.is_scalar() && node.style == document::ScalarStyle::Plain &&
           document::is_null_word(node.text);
}

std::string describe_found(const Node& node) {
    if (node.is_sequence()) return "sequence";
    if (node.is_mapping()) return "map";
    if (node.style == document::ScalarStyle::Quoted) return "string " + quoted_literal(node.text);
    document::Resolved r = document::resolve_plain(node.text);
    switch (r.kind) {
        case document::ScalarKind::Null:
            return "unit value";
        case document::ScalarKind::Bool:
            return r.b ? "boolean `true`" : "boolean `false`";
        case document::ScalarKind::UInt:
            return "integer `" + std::to_string(r.u) + "`";
        case document::ScalarKind::Int:
            return "integer `" + std::to_string(r.i) + "`";
        case document::ScalarKind::OutOfRange:
            return "integer `" + node.text + "`";
        case document::ScalarKind::Float:
            return "floating point `" + float_with_point(r.f) + "`";
        case document::ScalarKind::String:
            break;
    }
    return "string " + quoted_literal(node.text);
}

std::string describe_choices(const std::string_view* names, std::size_t count) {
    std::string out;
    auto quoted = [&](std::size_t i) {
        out += '`';
        out += names[i];
        out += '`';
    };
    if (count == 1) {
        quoted(0);
    } else if (count == 2) {
        quoted(0);
        out += " or ";
        quoted(1);
    } else {
        out = "one of ";
        for (std::size_t i = 0; i < count; ++i) {
            if (i) out += ", ";
            quoted(i);
        }
    }
    return out;
}

}  // namespace velatro::spec
