#pragma once
// The YAML node form: what libyaml's event stream becomes before anyone interprets
// it. It keeps what both consumers need: the document tree wants resolved values,
// the typed spec reader wants the source text of scalars, their style, duplicate
// keys in document order and the position of every node for its messages.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "document/error.hpp"

namespace velatro::document {

enum class NodeKind : std::uint8_t { Scalar, Sequence, Mapping };

// Plain scalars are resolved (null, booleans, numbers); every other style is text.
enum class ScalarStyle : std::uint8_t { Plain, Quoted };

struct Node {
    NodeKind kind = NodeKind::Scalar;
    ScalarStyle style = ScalarStyle::Plain;
    Mark mark;
    std::string text;  // scalars: the text as written
    // Sequences: the elements. Mappings: key, value, key, value... in document
    // order, duplicates kept; keys are always scalars.
    std::vector<Node> items;

    [[nodiscard]] bool is_scalar() const { return kind == NodeKind::Scalar; }
    [[nodiscard]] bool is_sequence() const { return kind == NodeKind::Sequence; }
    [[nodiscard]] bool is_mapping() const { return kind == NodeKind::Mapping; }
    [[nodiscard]] std::size_t mapping_size() const { return items.size() / 2; }
    [[nodiscard]] const Node& key(std::size_t i) const { return items[2 * i]; }
    [[nodiscard]] const Node& value(std::size_t i) const { return items[2 * i + 1]; }
};

// Limits of one reading.
inline constexpr std::size_t kMaxDepth = 128;
// Alias expansion copies nodes; past this many copied nodes the text is treated as
// an alias bomb.
inline constexpr std::size_t kMaxAliasNodes = 500000;

// Reads exactly one YAML document. Throws ReadError with the reading messages:
// libyaml's own problem texts, "EOF while parsing a value", the more-than-one-
// document message, "unknown anchor", "recursion limit exceeded", "repetition
// limit exceeded", and our choices for explicit tags, non-scalar keys.
Node read_yaml(std::string_view text);

}  // namespace velatro::document
