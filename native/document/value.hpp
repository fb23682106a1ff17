#pragma once
// The document tree: the JSON-like value that YAML reading produces and that every
// record returned to Python passes through. Objects are ordered maps, so keys
// always come out in ascending byte order and a repeated key keeps its last value.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace velatro::document {

class Value;
using Array = std::vector<Value>;
using Object = std::map<std::string, Value, std::less<>>;

enum class Kind : std::uint8_t { Null, Bool, UInt, Int, Float, String, Array, Object };

class Value {
  public:
    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : data_(b) {}
    // Non-negative integers are unsigned, negative ones signed: the tree keeps that
    // split so that 2^63..2^64-1 survive reading.
    Value(std::uint64_t u) : data_(u) {}
    Value(std::int64_t i) : data_(from_signed(i)) {}
    Value(int i) : Value(static_cast<std::int64_t>(i)) {}
    Value(unsigned u) : Value(static_cast<std::uint64_t>(u)) {}
    Value(double d) : data_(d) {}
    Value(std::string s) : data_(std::move(s)) {}
    Value(std::string_view s) : data_(std::string(s)) {}
    Value(const char* s) : data_(std::string(s)) {}
    Value(Array a) : data_(std::move(a)) {}
    Value(Object o) : data_(std::move(o)) {}

    [[nodiscard]] Kind kind() const { return static_cast<Kind>(data_.index()); }
    [[nodiscard]] bool is_null() const { return kind() == Kind::Null; }
    [[nodiscard]] bool is_bool() const { return kind() == Kind::Bool; }
    [[nodiscard]] bool is_string() const { return kind() == Kind::String; }
    [[nodiscard]] bool is_array() const { return kind() == Kind::Array; }
    [[nodiscard]] bool is_object() const { return kind() == Kind::Object; }
    [[nodiscard]] bool is_number() const {
        auto k = kind();
        return k == Kind::UInt || k == Kind::Int || k == Kind::Float;
    }

    [[nodiscard]] bool as_bool() const { return std::get<bool>(data_); }
    [[nodiscard]] std::uint64_t as_uint() const { return std::get<std::uint64_t>(data_); }
    [[nodiscard]] std::int64_t as_int() const { return std::get<std::int64_t>(data_); }
    [[nodiscard]] double as_float() const { return std::get<double>(data_); }
    [[nodiscard]] const std::string& as_string() const { return std::get<std::string>(data_); }
    [[nodiscard]] const Array& as_array() const { return std::get<Array>(data_); }
    [[nodiscard]] Array& as_array() { return std::get<Array>(data_); }
    [[nodiscard]] const Object& as_object() const { return std::get<Object>(data_); }
    [[nodiscard]] Object& as_object() { return std::get<Object>(data_); }

    // Any number as a double (the nearest one for large integers).
    [[nodiscard]] double number_as_double() const;

    // Object member lookup; nullptr when this is not an object or the key is absent.
    [[nodiscard]] const Value* find(std::string_view key) const;

    friend bool operator==(const Value&, const Value&) = default;

  private:
    using Data = std::variant<std::nullptr_t, bool, std::uint64_t, std::int64_t, double,
                              std::string, Array, Object>;
    static Data from_signed(std::int64_t i) {
        if (i >= 0) return Data(std::in_place_index<2>, static_cast<std::uint64_t>(i));
        return Data(std::in_place_index<3>, i);
    }
    Data data_;
};

}  // namespace velatro::document
