#include <gtest/gtest.h>

#include <limits>
#include <random>
#include <string>

#include "document/json_writer.hpp"
#include "engine/entity.hpp"

using namespace velatro::engine;
using velatro::document::to_json;

namespace {

const std::string kId = "550e8400-e29b-41d4-a716-446655440000";
const std::string kTenant = "6ba7b810-9dad-11d1-80b4-00c04fd430c8";

// One entity object; `extra` is spliced in before the closing brace.
std::string entity_object(const std::string& extra = "", const std::string& data = R"({"name":"Ann"})") {
    return R"({"id":")" + kId + R"(","tenant_id":")" + kTenant +
           R"(","external_id":"e1","entity_type":"person","data":)" + data +
           R"(,"source_name":"crm","last_updated":"2024-01-02T03:04:05Z")" + extra + "}";
}

std::string read_error(const std::string& json) {
    try {
        read_entities(json);
    } catch (const velatro::Error& e) {
        return e.what();
    }
    return "<no error>";
}

UtcDateTime utc(std::int64_t y, unsigned mo, unsigned d, unsigned h, unsigned mi, unsigned s,
                std::uint32_t ns = 0) {
    return UtcDateTime::from_civil(y, mo, d, h, mi, s, ns);
}

TEST(EntityRead, ObjectFormReadsEveryField) {
    auto list = read_entities("[" +
                              entity_object(R"(,"valid_from":"2020-01-01T00:00:00Z","valid_to":null)") +
                              "]");
    ASSERT_EQ(list.size(), 1u);
    const auto& e = list[0];
    EXPECT_EQ(e.id.to_string(), kId);
    EXPECT_EQ(e.tenant_id.to_string(), kTenant);
    EXPECT_EQ(e.external_id, "e1");
    EXPECT_EQ(e.entity_type, "person");
    EXPECT_EQ(e.source_name, "crm");
    ASSERT_NE(e.field("name"), nullptr);
    EXPECT_EQ(*e.field("name"), "Ann");
    EXPECT_EQ(e.field("email"), nullptr);
    EXPECT_EQ(e.valid_from, utc(2020, 1, 1, 0, 0, 0));
    EXPECT_FALSE(e.valid_to.has_value());
    EXPECT_EQ(e.last_updated, utc(2024, 1, 2, 3, 4, 5));
}

TEST(EntityRead, ArrayFormTakesTheNineValuesInFieldOrder) {
    auto list = read_entities(R"([[")" + kId + R"(",")" + kTenant +
                              R"(","e1","person",{"a":"1"},"crm",null,"2030-01-01T00:00:00Z","2024-01-02T03:04:05Z"]])");
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].external_id, "e1");
    EXPECT_FALSE(list[0].valid_from.has_value());
    EXPECT_EQ(list[0].valid_to, utc(2030, 1, 1, 0, 0, 0));
    EXPECT_EQ(*list[0].field("a"), "1");
}

TEST(EntityRead, OpenBoundsUnknownKeysAndRepeatedDataKeys) {
    auto list = read_entities(
        "[" + entity_object(R"(,"score":[1,{"deep":[true,null,-2.5e3]}],"valid_from":null)") + ",\n" +
        entity_object("", R"({"k":"first","k":"last","z":""})") + "]");
    ASSERT_EQ(list.size(), 2u);
    EXPECT_FALSE(list[0].valid_from.has_value());
    EXPECT_FALSE(list[0].valid_to.has_value());
    EXPECT_EQ(list[1].data.size(), 2u);
    EXPECT_EQ(*list[1].field("k"), "last");
    EXPECT_EQ(*list[1].field("z"), "");
    // Same id twice: both records are kept.
    EXPECT_EQ(list[0].id, list[1].id);
}

TEST(EntityRead, EmptyArrayAndWhitespace) {
    EXPECT_TRUE(read_entities("[]").empty());
    EXPECT_TRUE(read_entities(" \n[ ]\n\t").empty());
}

TEST(EntityRead, LongNonLatinAndEscapedValuesSurvive) {
    const std::string long_value(100 * 1024, 'x');
    auto list = read_entities(
        "[" + entity_object("", R"({"long":")" + long_value +
                                    R"(","jp":"山田 太郎","esc":"a\"b\u00e9\ud83d\ude00","\u006eame":"N"})") +
        "]");
    const auto& e = list.at(0);
    EXPECT_EQ(*e.field("long"), long_value);
    EXPECT_EQ(*e.field("jp"), "山田 太郎");
    EXPECT_EQ(*e.field("esc"), "a\"b\xC3\xA9\xF0\x9F\x98\x80");
    EXPECT_EQ(*e.field("name"), "N");  // keys are unescaped too
}

TEST(Uuid, FourTextFormsAndBothCases) {
    const auto expected = Uuid::parse(kId);
    ASSERT_TRUE(expected);
    for (const char* text :
         {"550e8400e29b41d4a716446655440000", "550E8400-E29B-41D4-A716-446655440000",
          "{550e8400-e29b-41d4-a716-446655440000}", "urn:uuid:550e8400-e29b-41d4-A716-446655440000"}) {
        SCOPED_TRACE(text);
        auto id = Uuid::parse(text);
        ASSERT_TRUE(id);
        EXPECT_EQ(*id, *expected);
        EXPECT_EQ(id->to_string(), kId);
    }
    for (const char* text : {"", "550e8400-e29b-41d4-a716-44665544000", "550e8400-e29b-41d4-a716-44665544000g",
                             "550e8400e-29b-41d4-a716-446655440000", "{550e8400-e29b-41d4-a716-446655440000]",
                             "URN:UUID:550e8400-e29b-41d4-a716-446655440000", "550e8400e29b41d4a71644665544000\xC3\xA9"}) {
        SCOPED_TRACE(text);
        std::string reason;
        EXPECT_FALSE(Uuid::parse(text, &reason));
        EXPECT_FALSE(reason.empty());
    }
}

TEST(Uuid, OrdersLikeLowerCaseText) {
    std::vector<std::string> texts = {"ffffffff-0000-0000-0000-000000000000",
                                      "00000000-0000-0000-0000-000000000001",
                                      "7fffffff-ffff-ffff-ffff-ffffffffffff",
                                      "80000000-0000-0000-0000-000000000000"};
    for (const auto& a : texts)
        for (const auto& b : texts)
            EXPECT_EQ(*Uuid::parse(a) < *Uuid::parse(b), a < b) << a << " " << b;
}

struct DateCase {
    const char* text;
    UtcDateTime expected;
};

TEST(UtcDateTime, RelaxedTextIsConvertedToUtc) {
    const DateCase cases[] = {
        {"2024-01-02 03:04:05+02:00", utc(2024, 1, 2, 1, 4, 5)},
        {"2024-01-02T03:04:05Z", utc(2024, 1, 2, 3, 4, 5)},
        {"2024-01-02t03:04:05z", utc(2024, 1, 2, 3, 4, 5)},
        {"2024-01-02T03:04:05.5Z", utc(2024, 1, 2, 3, 4, 5, 500000000)},
        {"2024-01-02T03:04:05.123456789Z", utc(2024, 1, 2, 3, 4, 5, 123456789)},
        {"2024-01-02T03:04:05 UTC", utc(2024, 1, 2, 3, 4, 5)},
        {"2024-01-02  T 03:04:05  uTc", utc(2024, 1, 2, 3, 4, 5)},
        {"2024-01-02T03:04:05+0530", utc(2024, 1, 1, 21, 34, 5)},
        {"2023-12-31T20:00:00-08:00", utc(2024, 1, 1, 4, 0, 0)},
        {"2024-02-29T00:00:00Z", utc(2024, 2, 29, 0, 0, 0)},
        {"1969-12-31T23:59:59.999999999Z", UtcDateTime{-1, 999999999}},
        {"0000-01-01T00:00:00+01:00", utc(-1, 12, 31, 23, 0, 0)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::string reason;
        auto t = UtcDateTime::parse(c.text, &reason);
        ASSERT_TRUE(t) << reason;
        EXPECT_EQ(*t, c.expected);
    }
}

TEST(UtcDateTime, RejectsWithReasons) {
    const std::pair<const char*, const char*> cases[] = {
        {"2024-01-02T03:04:05", "premature end of input"},
        {"2024-01-02", "premature end of input"},
        {"", "premature end of input"},
        {"2024-01-02X03:04:05Z", "input contains invalid characters"},
        {"2024/01/02T03:04:05Z", "input contains invalid characters"},
        {"2024-01-02T03:04:05.Z", "input contains invalid characters"},
        {"2024-01-02T03:04:05.1234567891Z", "input contains invalid characters"},
        {"2024-01-02T03:04:05ZZ", "trailing input"},
        {"2024-01-02T03:04:05Z ", "trailing input"},
        {"2023-02-29T00:00:00Z", "input is out of range"},
        {"2024-13-01T00:00:00Z", "input is out of range"},
        {"2024-01-01T24:00:00Z", "input is out of range"},
        {"2024-01-01T00:00:00+24:00", "input is out of range"},
        {"2024-01-01T00:00:00UT", "premature end of input"},
    };
    for (const auto& [text, why] : cases) {
        SCOPED_TRACE(text);
        std::string reason;
        EXPECT_FALSE(UtcDateTime::parse(text, &reason));
        EXPECT_EQ(reason, why);
    }
}

TEST(UtcDateTime, OrdersByInstantAndKeepsLeapSecondBetween) {
    auto leap = *UtcDateTime::parse("2016-12-31T23:59:60Z");
    EXPECT_LT(*UtcDateTime::parse("2016-12-31T23:59:59.999999999Z"), leap);
    EXPECT_LT(leap, *UtcDateTime::parse("2017-01-01T00:00:00Z"));
    EXPECT_EQ(utc(2024, 1, 2, 1, 4, 5, 120000000).to_string(), "2024-01-02T01:04:05.12Z");
    EXPECT_EQ((UtcDateTime{-1, 0}.to_string()), "1969-12-31T23:59:59Z");
}

struct ErrorCase {
    std::string json;
    std::string message;
};

TEST(EntityRead, FaultsNameTheirLineAndColumn) {
    const std::string ok = entity_object();
    const ErrorCase cases[] = {
        {"", "EOF while parsing a value at line 1 column 1"},
        {"[", "EOF while parsing a list or an object at line 1 column 1"},
        {"{}", "invalid type: map, expected a sequence at line 1 column 1"},
        {"[] x", "trailing characters at line 1 column 4"},
        {"[" + ok + "]\n]", "trailing characters at line 2 column 1"},
        {"[42]", "invalid type: integer `42`, expected struct NormalizedEntity at line 1 column 2"},
        {"[\n {}]", "missing field `id` at line 2 column 2"},
        {"[" + entity_object(R"(,"external_id":"again")") + "]",
         "duplicate field `external_id` at line 1 column 220"},
        {"[" + entity_object("", R"({"n":42})") + "]",
         "invalid type: integer `42`, expected a string at line 1 column 152"},
        {"[" + entity_object("", R"({"n":1.5})") + "]",
         "invalid type: floating point `1.5`, expected a string at line 1 column 152"},
        {"[" + entity_object("", R"({"n":null})") + "]",
         "invalid type: null, expected a string at line 1 column 152"},
        {"[" + entity_object("", R"({"n":["x"]})") + "]",
         "invalid type: sequence, expected a string at line 1 column 152"},
        {"[" + entity_object("", R"(["x"])") + "]",
         "invalid type: sequence, expected a map at line 1 column 147"},
        {R"([{"id":"nope"}])",
         "UUID parsing failed: invalid length: expected 32 hexadecimal digits, optionally in groups "
         "of 8-4-4-4-12 separated by hyphens, found 4 characters at line 1 column 8"},
        {R"([{"id":true}])", "invalid type: boolean `true`, expected a UUID string at line 1 column 8"},
        {"[" + entity_object(R"(,"valid_to":"2024-01-02T03:04:05")") + "]",
         "premature end of input at line 1 column 231"},
        {"[" + entity_object(R"(,"valid_to":5)") + "]",
         "invalid type: integer `5`, expected a date-time string or null at line 1 column 231"},
        {R"([["a"]])", "UUID parsing failed: invalid length: expected 32 hexadecimal digits, "
                       "optionally in groups of 8-4-4-4-12 separated by hyphens, found 1 character at "
                       "line 1 column 3"},
        {"[[\"" + kId + "\",\"" + kTenant +
             R"(","e","t",{},"s",null,null,"2024-01-02T03:04:05Z",1]])",
         "invalid length 10, expected struct NormalizedEntity with 9 elements at line 1 column 2"},
        {"[[]]", "invalid length 0, expected struct NormalizedEntity with 9 elements at line 1 column 2"},
        {R"([{"x":[1,,2]}])", "invalid JSON syntax at line 1 column 10"},
        {R"([{"x":tru}])", "expected value at line 1 column 7"},
        {R"([{"x":"\q"}])", "invalid escape in string at line 1 column 11"},
        {"[{\"x\":\"a\x01\"}]", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 9"},
        {"[{\"x\":\"\xC3\xA9\xFF\"}]", "invalid UTF-8 at line 1 column 9"},
        {R"([{"x":"open)", "EOF while parsing a string at line 1 column 12"},
        {"[" + std::string(200, '[') + std::string(200, ']') + "]",
         "invalid type: sequence, expected a UUID string at line 1 column 3"},
        {R"([{"x":)" + std::string(200, '[') + std::string(200, ']') + "}]",
         "recursion limit exceeded at line 1 column 135"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json.substr(0, 200));
        EXPECT_EQ(read_error(c.json), c.message);
    }
}

// Any prefix or byte-level corruption of a valid text gives a list or an error; never a crash.
TEST(EntityRead, CorruptedTextNeverCrashes) {
    const std::string good = "[" + entity_object(R"(,"valid_from":"2020-01-01 00:00:00 +01:00")") +
                             ",\n[\"" + kId + "\",\"" + kTenant +
                             R"(","e","t",{"k":"v"},"s",null,null,"2024-01-02T03:04:05Z"]])";
    ASSERT_EQ(read_entities(good).size(), 2u);
    for (std::size_t n = 0; n < good.size(); ++n) {
        EXPECT_THROW(read_entities(good.substr(0, n)), velatro::Error) << n;
    }
    std::mt19937 rng(7);
    const char alphabet[] = "[]{}\",:0123456789-tfnule \\\n";
    for (int round = 0; round < 3000; ++round) {
        std::string text = good;
        for (int k = 0; k < 3; ++k)
            text[rng() % text.size()] = alphabet[rng() % (sizeof alphabet - 1)];
        try {
            read_entities(text);
        } catch (const velatro::Error& e) {
            EXPECT_NE(std::string(e.what()).find(" at line "), std::string::npos) << e.what();
        }
    }
}

TEST(FieldMap, LookupAndOverwrite) {
    FieldMap m({{"b", "2"}, {"a", "1"}, {"b", "3"}});
    EXPECT_EQ(m.size(), 2u);
    EXPECT_EQ(*m.find("b"), "3");
    EXPECT_EQ(m.find("c"), nullptr);
    m.set("c", "4");
    m.set("a", "5");
    EXPECT_EQ(*m.find("a"), "5");
    std::string keys;
    for (const auto& [k, v] : m) keys += k;
    EXPECT_EQ(keys, "abc");
}

TEST(EntityWrite, DecisionKeysAndAbsentValues) {
    MatchDecision d;
    d.entity_a_id = *Uuid::parse(kId);
    d.entity_b_id = *Uuid::parse(kTenant);
    d.decision = Decision::Review;
    d.confidence = 0.75;
    d.rule_results.push_back({"email", 1.0, 2.5, true, "exact match"});
    d.matched_on = {"email"};
    d.temporal_adjustment = 1.0;
    EXPECT_EQ(to_json(to_value(d)),
              R"({"blocking_key":null,"confidence":0.75,"decision":"review",)"
              R"("entity_a_id":"550e8400-e29b-41d4-a716-446655440000",)"
              R"("entity_b_id":"6ba7b810-9dad-11d1-80b4-00c04fd430c8","matched_on":["email"],)"
              R"("rule_results":[{"explanation":"exact match","matched":true,"rule_name":"email",)"
              R"("score":1.0,"weight":2.5}],"temporal_adjustment":1.0})");

    d.decision = Decision::NoMerge;
    d.posterior_probability = 1.0;
    d.blocking_key = "SORTED_NEIGHBORHOOD";
    d.temporal_adjustment.reset();
    d.confidence = std::numeric_limits<double>::infinity();
    const auto v = to_value(d);
    EXPECT_EQ(v.find("decision")->as_string(), "no_merge");
    EXPECT_EQ(v.find("posterior_probability")->as_float(), 1.0);
    EXPECT_EQ(v.find("blocking_key")->as_string(), "SORTED_NEIGHBORHOOD");
    EXPECT_TRUE(v.find("temporal_adjustment")->is_null());
    EXPECT_TRUE(v.find("confidence")->is_null());
}

TEST(EntityWrite, DecisionNamesAndLabels) {
    EXPECT_EQ(decision_json_name(Decision::Merge), "merge");
    EXPECT_EQ(decision_json_name(Decision::Review), "review");
    EXPECT_EQ(decision_json_name(Decision::NoMerge), "no_merge");
    EXPECT_EQ(decision_label(Decision::NoMerge), "nomerge");
    EXPECT_EQ(decision_label(Decision::Merge), "merge");
}

}  // namespace
