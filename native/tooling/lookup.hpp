#pragma once
// The few ways the tooling reads an untyped spec tree. Every check tolerates any
// shape: a key that is missing, or asked of something that is not an object, is
// simply absent, and only real numbers read as numbers (a quoted '0.5' does not).
#include <optional>
#include <string>
#include <string_view>

#include "document/value.hpp"

namespace velatro::tooling {

using document::Value;

// The member under key, or nullptr when absent (also when `value` is absent or not
// an object). A member holding null is present.
inline const Value* lookup(const Value* value, std::string_view key) {
    return value ? value->find(key) : nullptr;
}

inline const Value* lookup(const Value& value, std::string_view key) {
    return value.find(key);
}

// Any number as a double; nothing for absent values and non-numbers.
inline std::optional<double> read_number(const Value* value) {
    if (value && value->is_number()) return value->number_as_double();
    return std::nullopt;
}

// The string itself, or `fallback` for every other kind and for absence.
inline std::string text_or(const Value* value, std::string_view fallback) {
    if (value && value->is_string()) return value->as_string();
    return std::string(fallback);
}

// The array's elements, or nullptr when the value is absent or not an array.
inline const document::Array* array_of(const Value* value) {
    return value && value->is_array() ? &value->as_array() : nullptr;
}

}  // namespace velatro::tooling
