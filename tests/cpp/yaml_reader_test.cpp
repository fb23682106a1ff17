#include <gtest/gtest.h>

#include <string>

#include "document/json_writer.hpp"
#include "document/node.hpp"
#include "document/tree.hpp"

namespace vd = velatro::document;

struct ScalarCase {
    const char* yaml;
    const char* json;
};

class ScalarResolution : public ::testing::TestWithParam<ScalarCase> {};

TEST_P(ScalarResolution, PlainScalarsResolveInOrder) {
    EXPECT_EQ(vd::to_json(vd::read_tree(std::string("v: ") + GetParam().yaml)),
              std::string("{\"v\":") + GetParam().json + "}")
        << GetParam().yaml;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ScalarResolution,
    ::testing::Values(
        ScalarCase{"", "null"}, ScalarCase{"~", "null"}, ScalarCase{"Null", "null"},
        ScalarCase{"NULL", "null"}, ScalarCase{"nULL", "\"nULL\""}, ScalarCase{"True", "true"},
        ScalarCase{"FALSE", "false"}, ScalarCase{"yes", "\"yes\""}, ScalarCase{"on", "\"on\""},
        ScalarCase{"10", "10"}, ScalarCase{"+10", "10"}, ScalarCase{"-3", "-3"},
        ScalarCase{"-0", "0"}, ScalarCase{"0", "0"}, ScalarCase{"010", "\"010\""},
        ScalarCase{"-012", "\"-012\""}, ScalarCase{"00", "\"00\""}, ScalarCase{"0x1F", "31"},
        ScalarCase{"0x1f", "31"}, ScalarCase{"-0x10", "-16"}, ScalarCase{"0o17", "15"},
        ScalarCase{"0b101", "5"}, ScalarCase{"0x-1", "\"0x-1\""}, ScalarCase{"0x", "\"0x\""},
        ScalarCase{"1_000", "\"1_000\""},
        ScalarCase{"18446744073709551615", "18446744073709551615"},
        ScalarCase{"-9223372036854775808", "-9223372036854775808"}, ScalarCase{"1.5", "1.5"},
        ScalarCase{"1.", "1.0"}, ScalarCase{".5", "0.5"}, ScalarCase{"-.5", "-0.5"},
        ScalarCase{"+1e3", "1000.0"}, ScalarCase{"1e400", "null"}, ScalarCase{".inf", "null"},
        ScalarCase{"-.Inf", "null"}, ScalarCase{".NaN", "null"}, ScalarCase{"nan", "\"nan\""},
        ScalarCase{"inf", "\"inf\""}, ScalarCase{"1e", "\"1e\""}, ScalarCase{"'10'", "\"10\""},
        ScalarCase{"\"true\"", "\"true\""}, ScalarCase{"|\n  x\n", "\"x\\n\""}));

struct ErrorCase {
    const char* yaml;
    const char* message;
};

class ReadingErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReadingErrors, MessageIsExact) {
    try {
        vd::read_tree(GetParam().yaml);
        FAIL() << "no error for " << GetParam().yaml;
    } catch (const vd::ReadError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadingErrors,
    ::testing::Values(
        ErrorCase{"", "EOF while parsing a value"},
        ErrorCase{"# only a comment\n", "EOF while parsing a value"},
        ErrorCase{"a: 1\n---\nb: 2\n",
                  "deserializing from YAML containing more than one document is not supported"},
        ErrorCase{"a: *nope\n", "unknown anchor at line 1 column 4"},
        ErrorCase{"a: b: c\n", "mapping values are not allowed in this context at line 1 column 5"},
        ErrorCase{"a: !!str 1\n",
                  "explicit tag `tag:yaml.org,2002:str` is not supported at line 1 column 4"},
        ErrorCase{"? [1]\n: 2\n",
                  "invalid type: sequence, expected a string as mapping key at line 1 column 3"},
        ErrorCase{"a: 18446744073709551616\n",
                  "integer `18446744073709551616` is out of the 64-bit range at line 1 column 4"},
        ErrorCase{"a: -9223372036854775809\n",
                  "integer `-9223372036854775809` is out of the 64-bit range at line 1 column 4"}));

TEST(YamlReading, DepthLimitIs128Collections) {
    std::string ok(128, '['), bad(129, '[');
    ok += std::string(128, ']');
    bad += std::string(129, ']');
    EXPECT_NO_THROW(vd::read_tree(ok));
    try {
        vd::read_tree(bad);
        FAIL();
    } catch (const vd::ReadError& e) {
        EXPECT_EQ(std::string(e.what()), "recursion limit exceeded at line 1 column 129");
    }
}

TEST(YamlReading, AliasesCopyButBombsStop) {
    EXPECT_EQ(vd::to_json(vd::read_tree("a: &x [1, 2]\nb: *x\n")), R"({"a":[1,2],"b":[1,2]})");
    std::string bomb = "a0: &a0 [x, x, x, x, x, x, x, x, x]\n";
    for (int i = 1; i < 9; ++i) {
        bomb += "a" + std::to_string(i) + ": &a" + std::to_string(i) + " [";
        for (int j = 0; j < 9; ++j) bomb += (j ? ", *a" : "*a") + std::to_string(i - 1);
        bomb += "]\n";
    }
    try {
        vd::read_tree(bomb);
        FAIL();
    } catch (const vd::ReadError& e) {
        EXPECT_NE(std::string(e.what()).find("repetition limit exceeded at line"),
                  std::string::npos);
    }
}

TEST(YamlReading, DuplicateKeysLastWinsInTreeButKeptInNodes) {
    const char* yaml = "b: 1\na: 2\nb: 3\n";
    EXPECT_EQ(vd::to_json(vd::read_tree(yaml)), R"({"a":2,"b":3})");
    vd::Node n = vd::read_yaml(yaml);
    ASSERT_EQ(n.mapping_size(), 3u);
    EXPECT_EQ(n.key(2).text, "b");
    EXPECT_EQ(n.key(2).mark, (vd::Mark{3, 1}));
    EXPECT_EQ(n.value(1).mark, (vd::Mark{2, 4}));
}

TEST(YamlReading, InvalidUtf8IsAReadingError) {
    EXPECT_THROW(vd::read_tree("a: \xff\n"), vd::ReadError);
    EXPECT_THROW(vd::read_tree(std::string("a: x\0y", 6)), vd::ReadError);
}
