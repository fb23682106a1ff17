#include "document/json_writer.hpp"

#include <charconv>

#include "document/float_text.hpp"

namespace velatro::document {

void append_json_string(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out += '"';
    std::size_t run = 0;  // start of the pending unescaped run
    for (std::size_t i = 0; i < text.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text.data() + run, i - run);
        run = i + 1;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
        }
    }
    out.append(text.data() + run, text.size() - run);
    out += '"';
}

namespace {

template <typename Int>
void append_int(std::string& out, Int v) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, res.ptr);
}

}  // namespace

void append_json(std::string& out, const Value& v) {
    switch (v.kind()) {
        case Kind::Null: out += "null"; break;
        case Kind::Bool: out += v.as_bool() ? "true" : "false"; break;
        case Kind::UInt: append_int(out, v.as_uint()); break;
        case Kind::Int: append_int(out, v.as_int()); break;
        case Kind::Float: append_json_float(out, v.as_float()); break;
        case Kind::String: append_json_string(out, v.as_string()); break;
        case Kind::Array: {
            out += '[';
            bool first = true;
            for (const auto& item : v.as_array()) {
                if (!first) out += ',';
                first = false;
                append_json(out, item);
            }
            out += ']';
            break;
        }
        case Kind::Object: {
            out += '{';
            bool first = true;
            for (const auto& [key, item] : v.as_object()) {
                if (!first) out += ',';
                first = false;
                append_json_string(out, key);
                out += ':';
                append_json(out, item);
            }
            out += '}';
            break;
        }
    }
}

std::string to_json(const Value& value) {
    std::string out;
    append_json(out, value);
    return out;
}

}  // namespace velatro::document
