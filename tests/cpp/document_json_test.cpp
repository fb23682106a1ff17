#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <random>

#include "document/digest.hpp"
#include "document/float_text.hpp"
#include "document/json_writer.hpp"
#include "document/tree.hpp"

namespace vd = velatro::document;

struct FloatCase {
    double value;
    const char* json;
    const char* plain;
};

class FloatText : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatText, JsonAndPlainForms) {
    const auto& c = GetParam();
    EXPECT_EQ(vd::json_float(c.value), c.json);
    EXPECT_EQ(vd::plain_float(c.value), c.plain);
}

INSTANTIATE_TEST_SUITE_P(
    Table, FloatText,
    ::testing::Values(FloatCase{2.0, "2.0", "2"}, FloatCase{0.0, "0.0", "0"},
                      FloatCase{-0.0, "-0.0", "-0"}, FloatCase{100.0, "100.0", "100"},
                      FloatCase{12.5, "12.5", "12.5"}, FloatCase{0.05, "0.05", "0.05"},
                      FloatCase{-0.25, "-0.25", "-0.25"},
                      FloatCase{1e15, "1000000000000000.0", "1000000000000000"},
                      FloatCase{1e16, "1e+16", "10000000000000000"},
                      FloatCase{1e21, "1e+21", "1000000000000000000000"},
                      FloatCase{1.5e-7, "1.5e-7", "0.00000015"},
                      FloatCase{1e-6, "1e-6", "0.000001"}, FloatCase{1e-5, "0.00001", "0.00001"},
                      FloatCase{0.1, "0.1", "0.1"},
                      FloatCase{1.0 / 3, "0.3333333333333333", "0.3333333333333333"},
                      FloatCase{123456789012345.6, "123456789012345.6", "123456789012345.6"},
                      FloatCase{1234567890123456.7, "1234567890123456.8", "1234567890123456.8"},
                      FloatCase{12345678901234567.0, "1.2345678901234568e+16", "12345678901234568"},
                      FloatCase{std::numeric_limits<double>::infinity(), "null", "inf"},
                      FloatCase{std::numeric_limits<double>::quiet_NaN(), "null", "NaN"}));

TEST(FloatText, ExtremeMagnitudesStayPositional) {
    EXPECT_EQ(vd::plain_float(-1.5e300), "-15" + std::string(299, '0'));
    EXPECT_EQ(vd::json_float(-1.5e300), "-1.5e+300");
    EXPECT_EQ(vd::plain_float(5e-324), "0." + std::string(323, '0') + "5");
    EXPECT_EQ(vd::json_float(5e-324), "5e-324");
}

TEST(TwoDecimals, RoundsTheExactBinaryValueHalfToEven) {
    EXPECT_EQ(vd::two_decimals(0.125), "0.12");  // exactly representable tie
    EXPECT_EQ(vd::two_decimals(0.375), "0.38");
    EXPECT_EQ(vd::two_decimals(0.615), "0.61");  // 0.61499999...
    EXPECT_EQ(vd::two_decimals(1.0), "1.00");
    EXPECT_EQ(vd::four_decimals(0.1), "0.1000");
}

TEST(TwoDecimals, AgreesWithPrintfOnRandomValues) {
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> unit(-2.0, 2.0);
    for (int i = 0; i < 20000; ++i) {
        double v = i % 2 ? unit(rng) : static_cast<double>(rng() % 100000) / 800.0;
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.2f", v);
        ASSERT_EQ(vd::two_decimals(v), buf) << v;
    }
}

TEST(CompactJson, ObjectsSortArraysKeepOrderNoWhitespace) {
    EXPECT_EQ(vd::to_json(vd::read_tree("b: 1\na: 1\n")), R"({"a":1,"b":1})");
    EXPECT_EQ(vd::to_json(vd::read_tree("[3, -2, 2.0, null, true, {}, []]")),
              R"([3,-2,2.0,null,true,{},[]])");
    EXPECT_EQ(vd::to_json(vd::Value(std::uint64_t{18446744073709551615u})), "18446744073709551615");
    EXPECT_EQ(vd::to_json(vd::Value(std::numeric_limits<std::int64_t>::min())),
              "-9223372036854775808");
}

TEST(CompactJson, StringEscapes) {
    const std::string in = std::string("q\"b\\/\b\f\n\r\t\x01\x1f\x7f") + "\xc3\xa9";
    EXPECT_EQ(vd::to_json(vd::Value(in)),
              "\"q\\\"b\\\\/\\b\\f\\n\\r\\t\\u0001\\u001f\x7f\xc3\xa9\"");
}

TEST(Fingerprint, DependsOnContentOnly) {
    auto a = vd::fingerprint(vd::read_tree("a: 1\nb: [x, y]  # c\n"));
    auto b = vd::fingerprint(vd::read_tree("{b: ['x', \"y\"], a: 1}"));
    auto c = vd::fingerprint(vd::read_tree("a: 1.0\nb: [x, y]\n"));
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
    EXPECT_EQ(a.size(), 71u);
    EXPECT_EQ(vd::sha256_hex("abc"),
              "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}
