#include "engine/expression.hpp"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <string>

#include "engine/match/char_text.hpp"
#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {

std::string ExprError::display() const { return "expression error: " + message_; }

namespace {

using TK = Token::Kind;

// ---- text ---------------------------------------------------------------------------

// Decodes one UTF-8 scalar at pos and advances; malformed bytes read as U+FFFD, one
// byte at a time.
char32_t next_scalar(std::string_view text, std::size_t& pos) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(pos);
    if (lead < 0x80) {
        ++pos;
        return lead;
    }
    std::size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
    if (length == 0 || pos + length > text.size()) {
        ++pos;
        return 0xFFFD;
    }
    char32_t cp = lead & (0x7F >> length);
    for (std::size_t i = 1; i < length; ++i) {
        unsigned char c = byte(pos + i);
        if ((c & 0xC0) != 0x80) {
            ++pos;
            return 0xFFFD;
        }
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++pos;
        return 0xFFFD;
    }
    pos += length;
    return cp;
}

bool is_blank(std::string_view text) { return trim_white_space(text).empty(); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_start(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool is_name_char(char c) { return is_name_start(c) || is_digit(c); }

// Plain decimal digits with at most one point ("5.", ".5", "12.25"), no sign and no
// exponent; a run that is nothing but points, or has two of them, is not a number.
bool parse_number(std::string_view run, double& value) {
    const char* first = run.data();
    const char* last = first + run.size();
    auto res = std::from_chars(first, last, value, std::chars_format::fixed);
    if (res.ptr != last) return false;
    if (res.ec == std::errc::result_out_of_range) {
        // Too large or too small for a double: round like any other decimal, to
        // infinity or to zero.
        std::string copy(run);
        value = std::strtod(copy.c_str(), nullptr);
        return true;
    }
    return res.ec == std::errc();
}

// ---- tokens -------------------------------------------------------------------------

class Tokenizer {
public:
    explicit Tokenizer(std::string_view text) : text_(text) {}

    ExprResult<std::vector<Token>> run() {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
                ++pos_;
            } else if (c == '-') {
                ++pos_;
                if (unary_position()) {
                    if (auto error = unary_minus()) return std::move(*error);
                } else {
                    emit(TK::Minus);
                }
            } else if (auto kind = punctuation(c)) {
                ++pos_;
                emit(*kind);
            } else if (is_digit(c) || c == '.') {
                std::string_view run = number_run();
                double value = 0.0;
                if (!parse_number(run, value))
                    return ExprError("invalid number: " + std::string(run));
                tokens_.push_back(Token{TK::Number, value, {}});
            } else if (is_name_start(c)) {
                name();
            } else {
                std::string message = "unexpected character: '";
                append_utf8(message, next_scalar(text_, pos_));
                message += '\'';
                return ExprError(std::move(message));
            }
        }
        return std::move(tokens_);
    }

private:
    static std::optional<TK> punctuation(char c) {
        switch (c) {
            case '(': return TK::LParen;
            case ')': return TK::RParen;
            case '*': return TK::Star;
            case '+': return TK::Plus;
            case ',': return TK::Comma;
            case '/': return TK::Slash;
            default: return std::nullopt;
        }
    }

    void emit(TK kind) { tokens_.push_back(Token{kind, 0.0, {}}); }

    // A minus opens an operand when nothing precedes it or an operator, an opening
    // parenthesis or a comma does.
    bool unary_position() const {
        if (tokens_.empty()) return true;
        switch (tokens_.back().kind) {
            case TK::Plus:
            case TK::Minus:
            case TK::Star:
            case TK::Slash:
            case TK::LParen:
            case TK::Comma: return true;
            default: return false;
        }
    }

    std::optional<ExprError> unary_minus() {
        skip_spaces();
        if (pos_ < text_.size() && (is_digit(text_[pos_]) || text_[pos_] == '.')) {
            std::string_view run = number_run();
            double value = 0.0;
            if (!parse_number(run, value))
                return ExprError("invalid number: -" + std::string(run));
            tokens_.push_back(Token{TK::Number, -value, {}});
            return std::nullopt;
        }
        // Negating anything but a literal is a multiplication by -1, so it binds at
        // the precedence of "*": "-(a + b)" is -1 * (a + b).
        tokens_.push_back(Token{TK::Number, -1.0, {}});
        emit(TK::Star);
        return std::nullopt;
    }

    std::string_view number_run() {
        std::size_t start = pos_;
        while (pos_ < text_.size() && (is_digit(text_[pos_]) || text_[pos_] == '.')) ++pos_;
        return text_.substr(start, pos_ - start);
    }

    void name() {
        std::size_t start = pos_;
        while (pos_ < text_.size() && is_name_char(text_[pos_])) ++pos_;
        std::string_view name = text_.substr(start, pos_ - start);
        skip_spaces();
        bool call = pos_ < text_.size() && text_[pos_] == '(' && (name == "min" || name == "max");
        tokens_.push_back(Token{call ? TK::Func : TK::Ident, 0.0, std::string(name)});
    }

    void skip_spaces() {
        while (pos_ < text_.size() && text_[pos_] == ' ') ++pos_;
    }

    std::string_view text_;
    std::size_t pos_ = 0;
    std::vector<Token> tokens_;
};

// ---- postfix ------------------------------------------------------------------------

int precedence(TK kind) {
    switch (kind) {
        case TK::Plus:
        case TK::Minus: return 1;
        case TK::Star:
        case TK::Slash: return 2;
        default: return 0;  // not an operator
    }
}

// Appends the operation of an operator token.
void push_operator(const Token& token, std::vector<Op>& program) {
    static constexpr Op::Kind kOps[] = {Op::Kind::Add, Op::Kind::Subtract, Op::Kind::Multiply,
                                        Op::Kind::Divide};
    program.push_back(Op{kOps[static_cast<int>(token.kind) - static_cast<int>(TK::Plus)], 0.0, {}});
}

}  // namespace

Program::Program(std::vector<Op> ops) : ops_(std::move(ops)), max_depth_(0) {
    std::size_t depth = 0;
    for (const auto& op : ops_) {
        if (op.kind == Op::Kind::PushNumber || op.kind == Op::Kind::PushVariable)
            ++depth;
        else if (depth >= 2)
            --depth;
        else
            break;  // evaluation stops here with "stack underflow"
        if (depth > max_depth_) max_depth_ = depth;
    }
}

ExprResult<std::vector<Token>> tokenize(std::string_view text) { return Tokenizer(text).run(); }

ExprResult<Program> compile_expression(std::string_view text) {
    if (is_blank(text)) return ExprError("empty expression");
    auto tokens = tokenize(text);
    if (!tokens.ok()) return tokens.error();

    std::vector<Op> program;
    std::vector<const Token*> stack;
    auto is_operator = [](const Token* t) { return precedence(t->kind) > 0; };
    for (const Token& token : tokens.value()) {
        switch (token.kind) {
            case TK::Number: program.push_back(Op{Op::Kind::PushNumber, token.number, {}}); break;
            case TK::Ident: program.push_back(Op{Op::Kind::PushVariable, 0.0, token.text}); break;
            case TK::Plus:
            case TK::Minus:
            case TK::Star:
            case TK::Slash:
                while (!stack.empty() && is_operator(stack.back()) &&
                       precedence(stack.back()->kind) >= precedence(token.kind)) {
                    push_operator(*stack.back(), program);
                    stack.pop_back();
                }
                stack.push_back(&token);
                break;
            case TK::LParen:
            case TK::Func: stack.push_back(&token); break;
            case TK::Comma:
                while (!stack.empty() && stack.back()->kind != TK::LParen) {
                    if (is_operator(stack.back())) push_operator(*stack.back(), program);
                    stack.pop_back();
                }
                break;
            case TK::RParen: {
                bool opened = false;
                while (!stack.empty()) {
                    const Token* top = stack.back();
                    stack.pop_back();
                    if (top->kind == TK::LParen) {
                        opened = true;
                        break;
                    }
                    if (is_operator(top)) push_operator(*top, program);
                }
                if (!opened) return ExprError("mismatched parentheses");
                if (!stack.empty() && stack.back()->kind == TK::Func) {
                    bool is_min = stack.back()->text == "min";
                    program.push_back(
                        Op{is_min ? Op::Kind::Minimum : Op::Kind::Maximum, 0.0, {}});
                    stack.pop_back();
                }
                break;
            }
        }
    }
    while (!stack.empty()) {
        const Token* top = stack.back();
        stack.pop_back();
        if (top->kind == TK::LParen) return ExprError("mismatched parentheses");
        if (is_operator(top)) push_operator(*top, program);
    }
    if (program.empty()) return ExprError("empty expression");
    return Program(std::move(program));
}

namespace {

double apply(Op::Kind kind, double l, double r) {
    switch (kind) {
        case Op::Kind::Add: return l + r;
        case Op::Kind::Subtract: return l - r;
        case Op::Kind::Multiply: return l * r;
        case Op::Kind::Divide: return r == 0.0 ? 0.0 : l / r;
        // fmin/fmax ignore a NaN operand and return the other one.
        case Op::Kind::Minimum: return std::fmin(l, r);
        case Op::Kind::Maximum: return std::fmax(l, r);
        default: return 0.0;
    }
}

ExprResult<double> run(const Program& program, VariableLookup lookup, const void* context,
                       double* stack) {
    std::size_t size = 0;
    for (const Op& op : program.ops()) {
        switch (op.kind) {
            case Op::Kind::PushNumber: stack[size++] = op.number; break;
            case Op::Kind::PushVariable: {
                double value = 0.0;
                if (!lookup(context, op.name, value)) value = 0.0;
                stack[size++] = value;
                break;
            }
            default: {
                if (size < 2) return ExprError("stack underflow");
                double r = stack[--size];
                double l = stack[size - 1];
                stack[size - 1] = apply(op.kind, l, r);
            }
        }
    }
    if (size != 1)
        return ExprError("expression did not reduce to single value (stack has " +
                         std::to_string(size) + " items)");
    return stack[0];
}

}  // namespace

ExprResult<double> evaluate(const Program& program, VariableLookup lookup, const void* context) {
    // Real expressions are shallow; only a pathological nesting needs the heap.
    constexpr std::size_t kInline = 64;
    if (program.max_depth() <= kInline) {
        double stack[kInline];
        return run(program, lookup, context, stack);
    }
    std::vector<double> stack(program.max_depth());
    return run(program, lookup, context, stack.data());
}

}  // namespace velatro::engine
