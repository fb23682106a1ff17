// Reading the entities JSON text. simdjson's on-demand reader gives byte positions of
// every token, which is what the messages need; a value under an unknown key is still
// walked in full so that a syntax fault anywhere in the text is reported.
#include <simdjson.h>

#include <array>
#include <bitset>

#include "document/error.hpp"
#include "engine/entity.hpp"

namespace velatro::engine {
namespace {

namespace od = simdjson::ondemand;

enum FieldIndex : std::size_t {
    kId,
    kTenantId,
    kExternalId,
    kEntityType,
    kData,
    kSourceName,
    kValidFrom,
    kValidTo,
    kLastUpdated,
    kFieldCount
};

constexpr std::array<std::string_view, kFieldCount> kFieldNames = {
    "id",          "tenant_id", "external_id", "entity_type", "data",
    "source_name", "valid_from", "valid_to",   "last_updated"};

constexpr std::array<bool, kFieldCount> kRequired = {true, true, true, true, true,
                                                     true, false, false, true};

// Nesting allowed inside ignored values; deeper text is refused rather than recursed into.
constexpr int kMaxDepth = 128;
// Quoted strings in type messages are cut here so a huge value cannot bloat the message.
constexpr std::size_t kMaxQuotedBytes = 64;

struct CodeReason {
    simdjson::error_code code;
    const char* reason;
};

constexpr CodeReason kCodeReasons[] = {
    {simdjson::TAPE_ERROR, "invalid JSON syntax"},
    {simdjson::INCOMPLETE_ARRAY_OR_OBJECT, "EOF while parsing a list or an object"},
    {simdjson::DEPTH_ERROR, "recursion limit exceeded"},
    {simdjson::STRING_ERROR, "invalid escape in string"},
    {simdjson::T_ATOM_ERROR, "expected value"},
    {simdjson::F_ATOM_ERROR, "expected value"},
    {simdjson::N_ATOM_ERROR, "expected value"},
    {simdjson::NUMBER_ERROR, "invalid number"},
    {simdjson::NUMBER_OUT_OF_RANGE, "number out of range"},
    {simdjson::UTF8_ERROR, "invalid UTF-8"},
    {simdjson::EMPTY, "EOF while parsing a value"},
    {simdjson::UNESCAPED_CHARS, "control character (\\u0000-\\u001F) found while parsing a string"},
    {simdjson::UNCLOSED_STRING, "EOF while parsing a string"},
    {simdjson::TRAILING_CONTENT, "trailing characters"},
    {simdjson::CAPACITY, "input too large"},
    {simdjson::MEMALLOC, "out of memory while reading"},
};

std::string code_reason(simdjson::error_code code) {
    for (const auto& entry : kCodeReasons)
        if (entry.code == code) return entry.reason;
    return simdjson::error_message(code);
}

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string quoted_prefix(std::string_view s) {
    if (s.size() <= kMaxQuotedBytes) return '"' + std::string(s) + '"';
    std::size_t cut = kMaxQuotedBytes;
    while (cut > 0 && is_continuation(s[cut])) --cut;
    return '"' + std::string(s.substr(0, cut)) + "\"...";
}

// Finds where a fault that the structural pass found (it reports no position) lies:
// the first control character inside a string, the first byte that breaks UTF-8, or the
// end of the text for an unterminated string.
std::size_t locate_stage1_fault(std::string_view text, simdjson::error_code code) {
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (code == simdjson::UTF8_ERROR && c >= 0x80) {
            std::size_t len = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
            if (len == 0 || c >= 0xF5 || i + len > text.size()) return i;
            for (std::size_t k = 1; k < len; ++k)
                if (!is_continuation(text[i + k])) return i;
            // Overlong forms and surrogates are the remaining UTF-8 faults.
            const auto c1 = static_cast<unsigned char>(text[i + 1]);
            if ((c == 0xC0 || c == 0xC1) || (c == 0xE0 && c1 < 0xA0) ||
                (c == 0xED && c1 >= 0xA0) || (c == 0xF0 && c1 < 0x90) || (c == 0xF4 && c1 >= 0x90))
                return i;
            i += len - 1;
            continue;
        }
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
            else if (c < 0x20 && code == simdjson::UNESCAPED_CHARS)
                return i;
        } else if (c == '"') {
            in_string = true;
        }
    }
    return text.size();
}

// Offset just past the bracket that closes the text's first array, or the text's size when
// there is none.
std::size_t root_array_end(std::string_view text) {
    int depth = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '[' || c == '{') {
            ++depth;
        } else if (c == ']' || c == '}') {
            if (--depth == 0) return i + 1;
        }
    }
    return text.size();
}

class EntityReader {
public:
    explicit EntityReader(std::string_view text) : text_(text), padded_(text) {}

    std::vector<NormalizedEntity> read() {
        if (auto code = parser_.iterate(padded_).get(doc_))
            fail_at_offset(code_reason(code), locate_stage1_fault(text_, code));
        od::array root;
        {
            od::json_type type;
            if (auto code = doc_.type().get(type)) fail_code(code);
            if (type != od::json_type::array) {
                std::string_view token;
                if (auto code = doc_.raw_json_token().get(token)) fail_code(code);
                fail_at(invalid_type(describe_root(type, token), "a sequence"), token.data());
            }
            if (auto code = doc_.get_array().get(root)) {
                // The reader wants the root array to be the last thing in the text, so a
                // complete array followed by more text lands here: read the array alone,
                // then report what follows it.
                const std::size_t end = root_array_end(text_);
                if (code == simdjson::INCOMPLETE_ARRAY_OR_OBJECT && end < text_.size()) {
                    EntityReader prefix(text_.substr(0, end));
                    prefix.read();
                    fail_at_offset(code_reason(simdjson::TRAILING_CONTENT),
                                   text_.find_first_not_of(" \t\n\r", end));
                }
                fail_code(code);
            }
        }
        std::vector<NormalizedEntity> entities;
        for (auto element : root) {
            od::value v;
            if (auto code = element.get(v)) fail_code(code);
            entities.push_back(read_entity(v));
        }
        // The reader has no end-of-text test: a location is only available before the end.
        const char* trailing = nullptr;
        if (!doc_.current_location().get(trailing))
            fail_at(code_reason(simdjson::TRAILING_CONTENT), trailing);
        return entities;
    }

private:
    [[noreturn]] void fail_at_offset(const std::string& reason, std::size_t offset) {
        // Lines count '\n'; columns count characters, both from 1.
        offset = std::min(offset, text_.size());
        document::Mark mark{1, 1};
        for (std::size_t i = 0; i < offset; ++i) {
            if (text_[i] == '\n') {
                ++mark.line;
                mark.column = 1;
            } else if (!is_continuation(text_[i])) {
                ++mark.column;
            }
        }
        throw document::ReadError(reason + document::location_suffix(mark), mark);
    }

    [[noreturn]] void fail_at(const std::string& reason, const char* where) {
        fail_at_offset(reason, static_cast<std::size_t>(where - padded_.data()));
    }

    // A fault the reader detected while walking: its position is the token it stopped at.
    [[noreturn]] void fail_code(simdjson::error_code code) {
        const char* where = nullptr;
        if (doc_.current_location().get(where)) where = padded_.data() + text_.size();
        fail_at(code_reason(code), where);
    }

    static std::string invalid_type(const std::string& unexpected, std::string_view expected) {
        return "invalid type: " + unexpected + ", expected " + std::string(expected);
    }

    static std::string number_text(std::string_view token) {
        while (!token.empty() && (token.back() == ' ' || token.back() == '\t' ||
                                  token.back() == '\n' || token.back() == '\r'))
            token.remove_suffix(1);
        const bool integral = token.find_first_of(".eE") == std::string_view::npos;
        return (integral ? "integer `" : "floating point `") + std::string(token) + "`";
    }

    static std::string describe_root(od::json_type type, std::string_view token) {
        switch (type) {
            case od::json_type::object: return "map";
            case od::json_type::number: return number_text(token);
            case od::json_type::boolean: return token.starts_with('t') ? "boolean `true`" : "boolean `false`";
            case od::json_type::null: return "null";
            case od::json_type::string: return "string";
            case od::json_type::array: return "sequence";
        }
        return "value";
    }

    // What a value of the wrong type is, in the words of the type message.
    std::string describe(od::value& v, od::json_type type) {
        switch (type) {
            case od::json_type::object: return "map";
            case od::json_type::array: return "sequence";
            case od::json_type::null: return "null";
            case od::json_type::number: return number_text(v.raw_json_token());
            case od::json_type::boolean: {
                bool b = false;
                if (auto code = v.get_bool().get(b)) fail_code(code);
                return b ? "boolean `true`" : "boolean `false`";
            }
            case od::json_type::string: {
                std::string_view s;
                if (auto code = v.get_string().get(s)) fail_code(code);
                return "string " + quoted_prefix(s);
            }
        }
        return "value";
    }

    od::json_type type_of(od::value& v) {
        od::json_type type;
        if (auto code = v.type().get(type)) fail_code(code);
        return type;
    }

    [[noreturn]] void fail_type(od::value& v, od::json_type type, std::string_view expected) {
        const char* where = v.raw_json_token().data();
        fail_at(invalid_type(describe(v, type), expected), where);
    }

    std::string read_string(od::value& v, std::string_view expected = "a string") {
        auto type = type_of(v);
        if (type != od::json_type::string) fail_type(v, type, expected);
        std::string_view s;
        if (auto code = v.get_string().get(s)) fail_code(code);
        return std::string(s);
    }

    Uuid read_uuid(od::value& v) {
        const char* where = v.raw_json_token().data();
        std::string text = read_string(v, "a UUID string");
        std::string reason;
        auto id = Uuid::parse(text, &reason);
        if (!id) fail_at("UUID parsing failed: " + reason, where);
        return *id;
    }

    UtcDateTime read_datetime(od::value& v, std::string_view expected) {
        const char* where = v.raw_json_token().data();
        std::string text = read_string(v, expected);
        std::string reason;
        auto t = UtcDateTime::parse(text, &reason);
        if (!t) fail_at(reason, where);
        return *t;
    }

    std::optional<UtcDateTime> read_optional_datetime(od::value& v) {
        if (type_of(v) == od::json_type::null) {
            skip(v, 0);
            return std::nullopt;
        }
        return read_datetime(v, "a date-time string or null");
    }

    FieldMap read_data(od::value& v) {
        auto type = type_of(v);
        if (type != od::json_type::object) fail_type(v, type, "a map");
        od::object object;
        if (auto code = v.get_object().get(object)) fail_code(code);
        std::vector<FieldMap::Entry> entries;
        for (auto member : object) {
            od::field field;
            if (auto code = std::move(member).get(field)) fail_code(code);
            std::string_view key;
            if (auto code = field.unescaped_key().get(key)) fail_code(code);
            std::string owned_key(key);
            entries.emplace_back(std::move(owned_key), read_string(field.value()));
        }
        return FieldMap(std::move(entries));
    }

    void read_field(NormalizedEntity& e, std::size_t index, od::value& v) {
        switch (index) {
            case kId: e.id = read_uuid(v); break;
            case kTenantId: e.tenant_id = read_uuid(v); break;
            case kExternalId: e.external_id = read_string(v); break;
            case kEntityType: e.entity_type = read_string(v); break;
            case kData: e.data = read_data(v); break;
            case kSourceName: e.source_name = read_string(v); break;
            case kValidFrom: e.valid_from = read_optional_datetime(v); break;
            case kValidTo: e.valid_to = read_optional_datetime(v); break;
            case kLastUpdated: e.last_updated = read_datetime(v, "a date-time string"); break;
            default: skip(v, 0);
        }
    }

    NormalizedEntity read_entity(od::value& v) {
        const char* start = v.raw_json_token().data();
        auto type = type_of(v);
        if (type == od::json_type::object) return read_entity_object(v, start);
        if (type == od::json_type::array) return read_entity_array(v, start);
        fail_type(v, type, "struct NormalizedEntity");
    }

    NormalizedEntity read_entity_object(od::value& v, const char* start) {
        od::object object;
        if (auto code = v.get_object().get(object)) fail_code(code);
        NormalizedEntity e;
        std::bitset<kFieldCount> seen;
        for (auto member : object) {
            od::field field;
            if (auto code = std::move(member).get(field)) fail_code(code);
            const char* key_at = field.key().raw() - 1;
            std::string_view key;
            if (auto code = field.unescaped_key().get(key)) fail_code(code);
            std::size_t index = kFieldCount;
            for (std::size_t i = 0; i < kFieldCount; ++i)
                if (kFieldNames[i] == key) index = i;
            if (index == kFieldCount) {
                skip(field.value(), 0);
                continue;
            }
            if (seen[index]) fail_at("duplicate field `" + std::string(key) + "`", key_at);
            seen[index] = true;
            read_field(e, index, field.value());
        }
        for (std::size_t i = 0; i < kFieldCount; ++i)
            if (kRequired[i] && !seen[i])
                fail_at("missing field `" + std::string(kFieldNames[i]) + "`", start);
        return e;
    }

    NormalizedEntity read_entity_array(od::value& v, const char* start) {
        od::array array;
        if (auto code = v.get_array().get(array)) fail_code(code);
        NormalizedEntity e;
        std::size_t count = 0;
        for (auto element : array) {
            od::value item;
            if (auto code = element.get(item)) fail_code(code);
            read_field(e, count, item);  // past the ninth, values are only checked
            ++count;
        }
        if (count != kFieldCount)
            fail_at("invalid length " + std::to_string(count) +
                        ", expected struct NormalizedEntity with 9 elements",
                    start);
        return e;
    }

    // Walks a value that is not used, so that faults inside it are still reported.
    void skip(od::value& v, int depth) {
        if (depth >= kMaxDepth)
            fail_at(code_reason(simdjson::DEPTH_ERROR), v.raw_json_token().data());
        switch (type_of(v)) {
            case od::json_type::object: {
                od::object object;
                if (auto code = v.get_object().get(object)) fail_code(code);
                for (auto member : object) {
                    od::field field;
                    if (auto code = std::move(member).get(field)) fail_code(code);
                    std::string_view key;
                    if (auto code = field.unescaped_key().get(key)) fail_code(code);
                    skip(field.value(), depth + 1);
                }
                break;
            }
            case od::json_type::array: {
                od::array array;
                if (auto code = v.get_array().get(array)) fail_code(code);
                for (auto element : array) {
                    od::value item;
                    if (auto code = element.get(item)) fail_code(code);
                    skip(item, depth + 1);
                }
                break;
            }
            case od::json_type::string: {
                std::string_view s;
                if (auto code = v.get_string().get(s)) fail_code(code);
                break;
            }
            case od::json_type::number: {
                // As a double, so that integers beyond 64 bits are still accepted.
                double d = 0;
                if (v.get_double().get(d)) fail_at("invalid number", v.raw_json_token().data());
                break;
            }
            case od::json_type::boolean: {
                bool b = false;
                if (v.get_bool().get(b)) fail_at("expected value", v.raw_json_token().data());
                break;
            }
            case od::json_type::null: {
                bool is_null = false;
                if (v.is_null().get(is_null) || !is_null)
                    fail_at("expected value", v.raw_json_token().data());
                break;
            }
        }
    }

    std::string_view text_;
    simdjson::padded_string padded_;
    od::parser parser_;
    od::document doc_;
};

}  // namespace

std::vector<NormalizedEntity> read_entities(std::string_view json) {
    return EntityReader(json).read();
}

}  // namespace velatro::engine
