#pragma once
// Custom scoring expressions: arithmetic over the scores of a pair's match rules,
// e.g. "0.6 * email_exact + 0.4 * max(name_fuzzy, name_soundex)".
//
// The text is compiled once into a postfix program that is immutable afterwards;
// worker threads evaluate the same program concurrently, each on its own small
// stack, so evaluating a pair does not allocate.
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace velatro::engine {

class ExprError {
public:
    explicit ExprError(std::string message) : message_(std::move(message)) {}
    [[nodiscard]] const std::string& message() const { return message_; }
    // "expression error: <message>", the form callers embed in their own messages.
    [[nodiscard]] std::string display() const;
    friend bool operator==(const ExprError&, const ExprError&) = default;

private:
    std::string message_;
};

// Either a value or the error that prevented it.
template <class T>
class ExprResult {
public:
    ExprResult(T value) : data_(std::move(value)) {}
    ExprResult(ExprError error) : data_(std::move(error)) {}
    [[nodiscard]] bool ok() const { return data_.index() == 0; }
    [[nodiscard]] const T& value() const { return std::get<0>(data_); }
    [[nodiscard]] T& value() { return std::get<0>(data_); }
    [[nodiscard]] const ExprError& error() const { return std::get<1>(data_); }

private:
    std::variant<T, ExprError> data_;
};

struct Token {
    enum class Kind : std::uint8_t {
        Number,
        Ident,
        Plus,
        Minus,
        Star,
        Slash,
        LParen,
        RParen,
        Comma,
        Func,  // "min" or "max", only when a "(" follows
    };
    Kind kind;
    double number = 0.0;  // Number
    std::string text;     // Ident, Func
    friend bool operator==(const Token&, const Token&) = default;
};

struct Op {
    enum class Kind : std::uint8_t {
        PushNumber,
        PushVariable,
        Add,
        Subtract,
        Multiply,
        Divide,
        Minimum,
        Maximum,
    };
    Kind kind;
    double number = 0.0;  // PushNumber
    std::string name;     // PushVariable
    friend bool operator==(const Op&, const Op&) = default;
};

// A compiled expression. It also records how deep its evaluation stack can get, so
// that evaluation can use a fixed buffer.
class Program {
public:
    explicit Program(std::vector<Op> ops);
    [[nodiscard]] const std::vector<Op>& ops() const { return ops_; }
    [[nodiscard]] std::size_t max_depth() const { return max_depth_; }

private:
    std::vector<Op> ops_;
    std::size_t max_depth_;
};

ExprResult<std::vector<Token>> tokenize(std::string_view text);
ExprResult<Program> compile_expression(std::string_view text);

// A plan's custom scoring expression once compiled; absent when the plan has none.
using CompiledExpression = std::optional<ExprResult<Program>>;

// Looks a variable up; returns false when there is no such name (it then reads 0.0).
using VariableLookup = bool (*)(const void* context, const std::string& name, double& value);

ExprResult<double> evaluate(const Program& program, VariableLookup lookup, const void* context);

template <class Map>
    requires std::is_same_v<typename Map::mapped_type, double>
ExprResult<double> evaluate(const Program& program, const Map& variables) {
    return evaluate(
        program,
        [](const void* context, const std::string& name, double& value) {
            const auto& map = *static_cast<const Map*>(context);
            auto it = map.find(name);
            if (it == map.end()) return false;
            value = it->second;
            return true;
        },
        &variables);
}

}  // namespace velatro::engine
