#include "engine/training/learned_spec.hpp"

#include <yaml.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <vector>

#include "document/error.hpp"
#include "document/float_text.hpp"
#include "document/node.hpp"

namespace velatro::engine::training {

namespace {

using document::Node;

// ---- where the scoring value is in the text ----------------------------------------

struct Span {
    std::size_t begin_line = 0, begin_column = 0;  // 0-based, as libyaml counts
    std::size_t end_line = 0, end_column = 0;
    std::size_t key_column = 0;
    bool block_mapping = false;
};

class Events {
  public:
    explicit Events(std::string_view text) {
        yaml_parser_initialize(&parser_);
        yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                     text.size());
    }
    ~Events() {
        if (has_) yaml_event_delete(&event_);
        yaml_parser_delete(&parser_);
    }
    Events(const Events&) = delete;
    Events& operator=(const Events&) = delete;

    const yaml_event_t& next() {
        if (has_) yaml_event_delete(&event_);
        has_ = yaml_parser_parse(&parser_, &event_) != 0;
        if (!has_) throw velatro::Error("the spec's YAML cannot be read");
        return event_;
    }

  private:
    yaml_parser_t parser_;
    yaml_event_t event_;
    bool has_ = false;
};

bool is_start(yaml_event_type_t t) {
    return t == YAML_MAPPING_START_EVENT || t == YAML_SEQUENCE_START_EVENT;
}
bool is_end(yaml_event_type_t t) {
    return t == YAML_MAPPING_END_EVENT || t == YAML_SEQUENCE_END_EVENT;
}
bool is_flow(const yaml_event_t& e) {
    return (e.type == YAML_MAPPING_START_EVENT &&
            e.data.mapping_start.style == YAML_FLOW_MAPPING_STYLE) ||
           (e.type == YAML_SEQUENCE_START_EVENT &&
            e.data.sequence_start.style == YAML_FLOW_SEQUENCE_STYLE);
}
std::string_view scalar_text(const yaml_event_t& e) {
    return {reinterpret_cast<const char*>(e.data.scalar.value), e.data.scalar.length};
}

// Skips one node whose first event is `first`, tracking where its content ends: the end
// of its last scalar or flow bracket (a block collection's end event points at whatever
// follows it, comments included).
void skip_node(Events& events, const yaml_event_t& first, Span& span) {
    auto note = [&](const yaml_mark_t& m) {
        span.end_line = m.line;
        span.end_column = m.column;
    };
    if (!is_start(first.type)) {
        note(first.end_mark);
        return;
    }
    std::vector<bool> flow{is_flow(first)};
    if (flow.back()) note(first.end_mark);
    while (!flow.empty()) {
        const yaml_event_t& e = events.next();
        if (is_start(e.type)) {
            flow.push_back(is_flow(e));
            if (flow.back()) note(e.end_mark);
        } else if (is_end(e.type)) {
            if (flow.back()) note(e.end_mark);
            flow.pop_back();
        } else {
            note(e.end_mark);
        }
    }
}

// Walks a mapping (its start event already read) to the value of `key`; true with the
// value's first event current, false after the mapping's end.
bool find_key(Events& events, std::string_view key, const yaml_event_t*& value,
              std::size_t& key_column) {
    Span ignored;
    for (;;) {
        const yaml_event_t& k = events.next();
        if (k.type == YAML_MAPPING_END_EVENT) return false;
        const bool hit = k.type == YAML_SCALAR_EVENT && scalar_text(k) == key;
        key_column = k.start_mark.column;
        const yaml_event_t& v = events.next();
        if (hit) {
            value = &v;
            return true;
        }
        skip_node(events, v, ignored);
    }
}

std::optional<Span> scoring_span(std::string_view text) {
    Events events(text);
    events.next();  // stream start
    events.next();  // document start
    const yaml_event_t* value = nullptr;
    std::size_t key_column = 0;
    if (events.next().type != YAML_MAPPING_START_EVENT) return std::nullopt;
    if (!find_key(events, "decision", value, key_column)) return std::nullopt;
    if (value->type != YAML_MAPPING_START_EVENT) return std::nullopt;
    if (!find_key(events, "scoring", value, key_column)) return std::nullopt;
    Span span;
    span.begin_line = value->start_mark.line;
    span.begin_column = value->start_mark.column;
    span.key_column = key_column;
    span.block_mapping = value->type == YAML_MAPPING_START_EVENT && !is_flow(*value);
    skip_node(events, *value, span);
    return span;
}

// Byte offset of a libyaml position (line and column in characters).
std::size_t offset_of(std::string_view text, std::size_t line, std::size_t column) {
    std::size_t i = 0;
    for (std::size_t l = 0; l < line && i < text.size(); ++i) {
        if (text[i] == '\n') ++l;
        if (text[i] == '\r') {
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
            ++l;
        }
    }
    for (std::size_t c = 0; c < column && i < text.size(); ++c) {
        ++i;  // past the lead byte, then its continuation bytes
        while (i < text.size() && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) ++i;
    }
    return i;
}

// ---- writing the learned scoring value ---------------------------------------------

bool plain_safe(const std::string& text) {
    if (text.empty()) return false;
    static constexpr std::string_view kSpecial = "{}[],&*#?|-<>=!%@`'\"";
    if (kSpecial.find(text.front()) != std::string_view::npos || text.front() == ' ' ||
        text.back() == ' ')
        return false;
    return text.find(": ") == std::string::npos && text.find(" #") == std::string::npos &&
           text.find('\n') == std::string::npos && text.back() != ':';
}

std::string quoted(const std::string& text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

// A scalar as it was written: plain text stays plain (it means the same), anything else
// is double-quoted. Scalars made here (no position) are YAML already and go verbatim.
std::string scalar(const Node& n) {
    if (!n.mark.known()) return n.text;
    return n.style == document::ScalarStyle::Plain && (n.text.empty() || plain_safe(n.text))
               ? (n.text.empty() ? std::string("null") : n.text)
               : quoted(n.text);
}

std::string key_text(const Node& key) {
    return key.style == document::ScalarStyle::Plain && plain_safe(key.text) ? key.text
                                                                             : quoted(key.text);
}

std::string spaces(std::size_t n) {
    return std::string(n, ' ');
}

void emit(const Node& n, std::size_t indent, std::string& out);

// After "key:" or "- ": a scalar or empty collection on the same line, else a new line.
void emit_value(const Node& v, std::size_t indent, std::string& out) {
    if (v.is_scalar()) {
        out += ' ' + scalar(v) + '\n';
    } else if (v.items.empty()) {
        out += v.is_mapping() ? " {}\n" : " []\n";
    } else {
        out += '\n';
        emit(v, indent, out);
    }
}

void emit(const Node& n, std::size_t indent, std::string& out) {
    if (n.is_mapping()) {
        for (std::size_t i = 0; i < n.mapping_size(); ++i) {
            out += spaces(indent) + key_text(n.key(i)) + ':';
            emit_value(n.value(i), indent + 2, out);
        }
    } else if (n.is_sequence()) {
        for (const Node& item : n.items) {
            if (item.is_mapping() && !item.items.empty()) {
                // The first key shares the dash's line.
                std::string inner;
                emit(item, indent + 2, inner);
                out += spaces(indent) + "- " + inner.substr(indent + 2);
            } else {
                out += spaces(indent) + '-';
                emit_value(item, indent + 2, out);
            }
        }
    } else {
        out += spaces(indent) + scalar(n) + '\n';
    }
}

Node plain(std::string text) {
    Node n;
    n.text = std::move(text);
    return n;
}

// Sets key to value in a mapping node, in place when present, else at the end.
void put(Node& mapping, std::string_view key, Node value) {
    for (std::size_t i = 0; i < mapping.mapping_size(); ++i)
        if (mapping.key(i).text == key) {
            mapping.items[2 * i + 1] = std::move(value);
            return;
        }
    mapping.items.push_back(plain(std::string(key)));
    mapping.items.push_back(std::move(value));
}

void drop(Node& mapping, std::string_view key) {
    for (std::size_t i = 0; i < mapping.mapping_size(); ++i)
        if (mapping.key(i).text == key) {
            mapping.items.erase(mapping.items.begin() + static_cast<std::ptrdiff_t>(2 * i),
                                mapping.items.begin() + static_cast<std::ptrdiff_t>(2 * i + 2));
            return;
        }
}

const Node* find(const Node& mapping, std::string_view key) {
    for (std::size_t i = 0; i < mapping.mapping_size(); ++i)
        if (mapping.key(i).text == key) return &mapping.value(i);
    return nullptr;
}

std::string default_name(const LevelEstimate& level) {
    std::string name(plan::enum_name(level.comparator));
    if (level.comparator != plan::FsLevelComparator::Exact &&
        level.comparator != plan::FsLevelComparator::Else)
        name += " >= " + document::plain_float(level.threshold);
    return name;
}

// One level as a one-line flow mapping: {comparator: ..., threshold: ..., m, u}.
Node level_node(const LevelEstimate& level) {
    std::string text = "{";
    if (level.name != default_name(level))
        text += "name: " + (plain_safe(level.name) ? level.name : quoted(level.name)) + ", ";
    text += "comparator: " + std::string(plan::enum_name(level.comparator));
    if (level.comparator != plan::FsLevelComparator::Exact &&
        level.comparator != plan::FsLevelComparator::Else)
        text += ", threshold: " + document::plain_float(level.threshold);
    text += ", m_probability: " + learned_number(level.m);
    text += ", u_probability: " + learned_number(level.u) + "}";
    return plain(std::move(text));  // emitted verbatim
}

void learn_field(Node& field, const FieldEstimate& estimate) {
    Node levels;
    levels.kind = document::NodeKind::Sequence;
    for (const auto& level : estimate.levels) levels.items.push_back(level_node(level));
    drop(field, "m_probability");
    drop(field, "u_probability");
    put(field, "levels", std::move(levels));
}

void learn_thresholds(Node& scoring, const TrainingResult& result) {
    Node thresholds;
    thresholds.kind = document::NodeKind::Mapping;
    if (const Node* old = find(scoring, "thresholds"); old && old->is_mapping()) thresholds = *old;
    put(thresholds, "match", plain(learned_number(result.match_threshold)));
    put(thresholds, "possible", plain(learned_number(result.possible_threshold)));
    double non_match = result.possible_threshold;
    if (const Node* old = find(thresholds, "non_match"); old && old->is_scalar()) {
        char* end = nullptr;
        const double v = std::strtod(old->text.c_str(), &end);
        if (end && *end == '\0' && v < non_match) non_match = v;
    }
    put(thresholds, "non_match", plain(learned_number(non_match)));
    put(scoring, "thresholds", std::move(thresholds));
}

Node scoring_node(std::string_view yaml) {
    const Node root = document::read_yaml(yaml);
    const Node* decision = root.is_mapping() ? find(root, "decision") : nullptr;
    const Node* scoring = decision && decision->is_mapping() ? find(*decision, "scoring") : nullptr;
    if (!scoring || !scoring->is_mapping())
        throw velatro::Error("the spec has no decision.scoring mapping to write the model into");
    return *scoring;
}

}  // namespace

std::string learned_number(double value) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.6g", value);
    return document::plain_float(std::strtod(buf, nullptr));
}

std::string learned_spec(std::string_view yaml, const TrainingResult& result, bool set_thresholds) {
    Node scoring = scoring_node(yaml);
    Node* fields = nullptr;
    for (std::size_t i = 0; i < scoring.mapping_size(); ++i)
        if (scoring.key(i).text == "fields") fields = &scoring.items[2 * i + 1];
    if (!fields || !fields->is_sequence() || fields->items.size() != result.fields.size())
        throw velatro::Error("the spec's Fellegi-Sunter fields do not match the trained model");
    for (std::size_t k = 0; k < result.fields.size(); ++k)
        learn_field(fields->items[k], result.fields[k]);
    put(scoring, "prior", plain(learned_number(result.prior)));
    if (set_thresholds) learn_thresholds(scoring, result);

    const auto span = scoring_span(yaml);
    if (!span)
        throw velatro::Error("the spec has no decision.scoring mapping to write the model into");
    std::string body;
    std::size_t indent = span->block_mapping ? span->begin_column : span->key_column + 2;
    emit(scoring, indent, body);
    if (!body.empty() && body.back() == '\n') body.pop_back();
    // A block mapping starts where the old one started; any other form gets a new line.
    const std::string replacement = span->block_mapping ? body.substr(indent) : "\n" + body;
    const std::size_t begin = offset_of(yaml, span->begin_line, span->begin_column);
    const std::size_t end = offset_of(yaml, span->end_line, span->end_column);
    std::string out(yaml.substr(0, begin));
    out += replacement;
    out += yaml.substr(end);
    return out;
}

}  // namespace velatro::engine::training
