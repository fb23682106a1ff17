#pragma once
// Where the typed reader stands in the YAML node tree, and how its failures are
// worded. Every failure names the path of the offending node and its position;
// inside a value read whole the path and position stay those of that value, since
// it has been reduced to a generic value with no positions of its own.
#include <string>
#include <string_view>

#include "document/node.hpp"

namespace velatro::spec {

// A typed-reading failure that also knows where its path prefix ends, so that the
// message proper can be told apart from the path in front of it.
class SpecReadError : public document::ReadError {
  public:
    SpecReadError(std::string message, document::Mark mark, std::size_t prefix_length)
        : ReadError(std::move(message), mark), prefix_length_(prefix_length) {}
    [[nodiscard]] std::size_t prefix_length() const { return prefix_length_; }

  private:
    std::size_t prefix_length_;
};

enum class ReadMode : std::uint8_t {
    // Scalars as written: a text field takes any scalar's source text.
    Direct,
    // Scalars with their resolved kinds; records may also be sequences of values.
    Whole,
};

class Cursor {
  public:
    // The document root, read directly.
    explicit Cursor(const document::Node& root) : node_(&root), mark_(root.mark) {}

    [[nodiscard]] const document::Node& node() const { return *node_; }
    [[nodiscard]] ReadMode mode() const { return mode_; }

    [[nodiscard]] Cursor key(std::string_view key, const document::Node& value) const;
    [[nodiscard]] Cursor index(std::size_t i, const document::Node& value) const;
    // The same node, from here on read as a whole value.
    [[nodiscard]] Cursor whole() const;
    // Another node standing for this one (a copy with some entries removed).
    [[nodiscard]] Cursor with_node(const document::Node& node) const;

    // Throws SpecReadError: path prefix, message, location suffix.
    [[noreturn]] void fail(std::string_view message) const;
    [[noreturn]] void invalid_type(std::string_view expected) const;
    [[noreturn]] void invalid_value(std::string_view found, std::string_view expected) const;
    [[noreturn]] void invalid_length(std::size_t length, std::string_view expected) const;
    [[noreturn]] void missing_field(std::string_view name) const;
    [[noreturn]] void duplicate_field(std::string_view name) const;
    [[noreturn]] void unknown_variant(std::string_view value, const std::string_view* names,
                                      std::size_t count) const;

  private:
    const document::Node* node_;
    ReadMode mode_ = ReadMode::Direct;
    std::string path_;
    document::Mark mark_;
};

// How a node is described where it is not what was wanted: "sequence", "map",
// "unit value", "boolean `true`", "integer `5`", "floating point `1.5`",
// "string \"abc\"".
std::string describe_found(const document::Node& node);

// "`a`", "`a` or `b`", "one of `a`, `b`, `c`".
std::string describe_choices(const std::string_view* names, std::size_t count);

// A plain scalar holding a null word; empty plain scalars included.
bool is_null(const document::Node& node);

}  // namespace velatro::spec
