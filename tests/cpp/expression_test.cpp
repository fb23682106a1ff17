#include "engine/expression.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <thread>
#include <unordered_map>

namespace velatro::engine {
namespace {

using Vars = std::unordered_map<std::string, double>;

struct ValueCase {
    const char* text;
    double expected;
};

class ExpressionValue : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ExpressionValue, Evaluates) {
    const Vars vars{{"a", 10.0}, {"b", 4.0}, {"c", 2.0}, {"x", 2.0},
                    {"email", 1.0}, {"exact", 0.25}};
    auto program = compile_expression(GetParam().text);
    ASSERT_TRUE(program.ok()) << program.error().message();
    auto result = evaluate(program.value(), vars);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(result.value(), GetParam().expected) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpressionValue,
    ::testing::Values(ValueCase{"a - b - c", 4.0}, ValueCase{"a / b * c", 5.0},
                      ValueCase{"1 + 2 * 3", 7.0}, ValueCase{"2 * -3", -6.0},
                      ValueCase{"2 - -3", 5.0}, ValueCase{"- 3", -3.0},
                      ValueCase{"-(1 + 2)", -3.0}, ValueCase{"a -3", 7.0},
                      ValueCase{"10 / 0", 0.0}, ValueCase{"0 / 0", 0.0},
                      ValueCase{"1 / -0", 0.0},
                      // -x is -1 * x at the precedence of "*": (8 / -1) * 2
                      ValueCase{"8 / -x", -16.0}, ValueCase{"8 / -2", -4.0},
                      ValueCase{"no_such_rule", 0.0}, ValueCase{"max (a, b)", 10.0},
                      ValueCase{"min(a + b, c)", 2.0}, ValueCase{"max(min(a, b), c)", 4.0},
                      ValueCase{"email-exact", 0.75}, ValueCase{".5", 0.5},
                      ValueCase{"5.", 5.0}, ValueCase{"\t0.6 * a\n+ 0.4 * max(b, c)\r", 7.6},
                      ValueCase{"--3", 3.0}, ValueCase{"-.5 * c", -1.0},
                      ValueCase{"max(-1, -a)", -1.0}));

struct ErrorCase {
    const char* text;
    const char* message;
};

class ExpressionError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ExpressionError, FailsWithItsMessage) {
    auto program = compile_expression(GetParam().text);
    std::string message;
    if (!program.ok()) {
        message = program.error().message();
    } else {
        auto result = evaluate(program.value(), Vars{{"a", 1.0}, {"b", 2.0}});
        ASSERT_FALSE(result.ok()) << GetParam().text;
        message = result.error().message();
    }
    EXPECT_EQ(message, GetParam().message) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExpressionError,
    ::testing::Values(
        ErrorCase{"", "empty expression"}, ErrorCase{" \t\u3000 ", "empty expression"},
        ErrorCase{"()", "empty expression"}, ErrorCase{",", "empty expression"},
        ErrorCase{"(1", "mismatched parentheses"}, ErrorCase{"1)", "mismatched parentheses"},
        ErrorCase{"1 ^ 2", "unexpected character: '^'"},
        ErrorCase{"a % b", "unexpected character: '%'"},
        ErrorCase{"a\vb", "unexpected character: '\v'"},
        ErrorCase{"a \u00e9", "unexpected character: '\u00e9'"},
        ErrorCase{"1.2.3", "invalid number: 1.2.3"}, ErrorCase{".", "invalid number: ."},
        ErrorCase{"-1.2.3", "invalid number: -1.2.3"}, ErrorCase{"2 * - ..", "invalid number: -.."},
        ErrorCase{"-", "stack underflow"}, ErrorCase{"+", "stack underflow"},
        ErrorCase{"max(a)", "stack underflow"},
        ErrorCase{"MAX(a, b)", "expression did not reduce to single value (stack has 3 items)"},
        ErrorCase{"min(a, b, a)", "expression did not reduce to single value (stack has 2 items)"},
        ErrorCase{"1e5", "expression did not reduce to single value (stack has 2 items)"},
        ErrorCase{"a b", "expression did not reduce to single value (stack has 2 items)"},
        ErrorCase{"foo(1)", "expression did not reduce to single value (stack has 2 items)"}));

TEST(Expression, CompilesToPostfix) {
    auto program = compile_expression("0.6 * e + max (n, s)");
    ASSERT_TRUE(program.ok());
    using K = Op::Kind;
    std::vector<Op> expected{{K::PushNumber, 0.6, {}}, {K::PushVariable, 0.0, "e"},
                             {K::Multiply, 0.0, {}},   {K::PushVariable, 0.0, "n"},
                             {K::PushVariable, 0.0, "s"}, {K::Maximum, 0.0, {}},
                             {K::Add, 0.0, {}}};
    EXPECT_EQ(program.value().ops(), expected);
    EXPECT_EQ(program.value().max_depth(), 3u);
}

TEST(Expression, MinAndMaxIgnoreNaN) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::map<std::string, double, std::less<>> vars{{"n", nan}, {"a", 0.5}};
    for (const char* text : {"max(n, a)", "max(a, n)", "min(n, a)", "min(a, n)"}) {
        auto result = evaluate(compile_expression(text).value(), vars);
        ASSERT_TRUE(result.ok());
        EXPECT_EQ(result.value(), 0.5) << text;
    }
}

TEST(Expression, ErrorDisplayAndHugeLiterals) {
    EXPECT_EQ(compile_expression("()").error().display(), "expression error: empty expression");
    auto big = evaluate(compile_expression(std::string(400, '9')).value(), Vars{});
    EXPECT_TRUE(std::isinf(big.value()));
    auto tiny = evaluate(compile_expression("0." + std::string(400, '0') + "1").value(), Vars{});
    EXPECT_EQ(tiny.value(), 0.0);
}

TEST(Expression, DeepProgramsAndConcurrentEvaluation) {
    std::string text = "1";
    for (int i = 0; i < 200; ++i) text = "1 + (" + text + ")";
    auto deep = compile_expression(text);
    ASSERT_TRUE(deep.ok());
    EXPECT_GT(deep.value().max_depth(), 64u);
    EXPECT_EQ(evaluate(deep.value(), Vars{}).value(), 201.0);

    const Program program = compile_expression("0.6 * a + 0.4 * max(b, c)").value();
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            Vars vars{{"a", double(t)}, {"b", 1.0}, {"c", 2.0}};
            const double expected = 0.6 * t + 0.4 * 2.0;
            for (int i = 0; i < 1000; ++i)
                if (evaluate(program, vars).value() != expected) ++mismatches[t];
        });
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < 8; ++t) EXPECT_EQ(mismatches[t], 0);
}

}  // namespace
}  // namespace velatro::engine
