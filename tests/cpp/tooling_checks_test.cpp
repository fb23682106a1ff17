#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "document/error.hpp"
#include "document/tree.hpp"
#include "tooling/schema_check.hpp"
#include "tooling/semantic_check.hpp"

namespace vt = velatro::tooling;

namespace {

using Messages = std::vector<std::string>;

// A root that passes every root-level check, so each case shows only its own finding.
constexpr const char* kRoot = "api_version: velatro/v1\nidentity_version: '1'\nentity: {name: c}\n";

struct CheckCase {
    const char* label;
    std::string yaml;
    Messages expected;
};

void PrintTo(const CheckCase& c, std::ostream* os) {
    *os << c.label;
}

class ValidateYaml : public ::testing::TestWithParam<CheckCase> {};

TEST_P(ValidateYaml, ReportsExactlyTheseMessagesInOrder) {
    EXPECT_EQ(vt::validate_yaml(GetParam().yaml), GetParam().expected);
}

const std::string root(kRoot);

INSTANTIATE_TEST_SUITE_P(
    Schema, ValidateYaml,
    ::testing::Values(
        CheckCase{"list root",
                  "[1, 2]",
                  {"Missing required field: api_version",
                   "Missing required field: identity_version", "Missing required field: entity"}},
        CheckCase{"string root",
                  "just text",
                  {"Missing required field: api_version",
                   "Missing required field: identity_version", "Missing required field: entity"}},
        CheckCase{"null root",
                  "~",
                  {"Missing required field: api_version",
                   "Missing required field: identity_version", "Missing required field: entity"}},
        CheckCase{"null api_version is present and not checked",
                  "api_version: ~\nidentity_version: 1\nentity: {name: c}",
                  {}},
        CheckCase{"numeric api_version is not checked",
                  "api_version: 2\nidentity_version: 1\nentity: {name: c}",
                  {}},
        CheckCase{"prefix is case-sensitive",
                  "api_version: Velatro/v1\nidentity_version: 1\nentity: {name: c}",
                  {"Invalid api_version format: 'Velatro/v1'. Expected 'velatro/v<N>'"}},
        CheckCase{"bare prefix passes",
                  "api_version: velatro/v\nidentity_version: 1\nentity: {name: c}",
                  {}},
        CheckCase{"entity as a string has no name",
                  "api_version: velatro/v1\nidentity_version: 1\nentity: customer",
                  {"entity.name is required"}},
        CheckCase{"null entity name is present",
                  "api_version: velatro/v1\nidentity_version: 1\nentity: {name: ~}",
                  {}},
        CheckCase{"integer weight out of range",
                  root + "rules: [{name: r, type: exact, weight: 2}]",
                  {"rules[0]: weight 2 must be between 0 and 1"}},
        CheckCase{"float weight and threshold out of range",
                  root + "rules: [{name: r, type: exact, weight: 1.5, threshold: -0.25}]",
                  {"rules[0]: weight 1.5 must be between 0 and 1",
                   "rules[0]: threshold -0.25 must be between 0 and 1"}},
        CheckCase{"large values are written without exponent",
                  root + "rules: [{name: r, type: exact, threshold: 1e21}]",
                  {"rules[0]: threshold 1000000000000000000000 must be between 0 and 1"}},
        CheckCase{"bounds and quoted numbers pass",
                  root + "rules: [{name: r, type: exact, weight: 0, threshold: 1}, "
                         "{name: s, type: exact, weight: '2', threshold: 1.0}]",
                  {}},
        CheckCase{
            "rule given as a string",
            root + "rules: [{name: r, type: exact}, oops]",
            {"rules[1]: missing required field 'name'", "rules[1]: missing required field 'type'"}},
        CheckCase{"empty source object",
                  root + "sources: [{}]",
                  {"sources[0]: missing required field 'name'",
                   "sources[0]: missing required field 'system'",
                   "sources[0]: missing required field 'table'",
                   "sources[0]: missing required field 'id'",
                   "sources[0]: missing required field 'attributes'"}},
        CheckCase{"six blocking keys",
                  root + "blocking: {keys: [a, b, c, d, e, f]}",
                  {"Too many blocking keys: 6. Maximum is 5."}},
        CheckCase{"five blocking keys", root + "blocking: {keys: [a, b, c, d, e]}", {}},
        CheckCase{"sections of the wrong kind are not reported",
                  root + "rules: {a: 1}\nsources: text\nblocking: {keys: {a: 1}}",
                  {}},
        CheckCase{
            "check order across sections",
            "blocking: {keys: [1, 2, 3, 4, 5, 6]}\nsources: [{name: s, system: x, table: "
            "t, id: i}]\nrules: [{type: exact}]\nentity: {}",
            {"Missing required field: api_version", "Missing required field: identity_version",
             "entity.name is required", "rules[0]: missing required field 'name'",
             "sources[0]: missing required field 'attributes'",
             "Too many blocking keys: 6. Maximum is 5."}}));

// Sources declaring email and phone; cases add rules and decisions after it.
const std::string contact_sources =
    root +
    "sources:\n"
    "  - {name: crm, system: s, table: t, id: i, attributes: {phone: p, email: e}}\n";

INSTANTIATE_TEST_SUITE_P(
    Semantics, ValidateYaml,
    ::testing::Values(
        CheckCase{"no declared attributes, no field messages",
                  root + "sources: [{name: s, system: x, table: t, id: i, attributes: {}}]\n"
                         "rules: [{name: r, type: exact, field: anything}]",
                  {}},
        CheckCase{"suggestion when the attribute contains the field",
                  contact_sources + "rules: [{name: email_match, type: exact, field: mail}]",
                  {"Rule 'email_match' references unknown field 'mail'. Did you mean 'email'?"}},
        CheckCase{"suggestion when the field contains the attribute",
                  contact_sources + "rules: [{name: r, type: exact, field: email_address}]",
                  {"Rule 'r' references unknown field 'email_address'. Did you mean 'email'?"}},
        CheckCase{"unnamed rule without suggestion",
                  contact_sources + "rules: [{type: exact, field: fax}]",
                  {"rules[0]: missing required field 'name'",
                   "Rule 'unknown' references unknown field 'fax'."}},
        CheckCase{"first hit in order of appearance wins",
                  root + "sources:\n"
                         "  - {name: a, system: s, table: t, id: i, attributes: {first_name: f}}\n"
                         "  - {name: b, system: s, table: t, id: i, attributes: {name: n}}\n"
                         "rules: [{name: r, type: exact, field: nam}]",
                  {"Rule 'r' references unknown field 'nam'. Did you mean 'first_name'?"}},
        CheckCase{"attributes of one source come in byte order",
                  root + "sources: [{name: a, system: s, table: t, id: i, attributes: {zip: z, "
                         "city: c}}]\nrules: [{name: r, type: exact, field: i}]",
                  {"Rule 'r' references unknown field 'i'. Did you mean 'city'?"}},
        CheckCase{"repeated rule names, rule and source names are separate",
                  root + "sources: [{name: r1, system: s, table: t, id: i, attributes: {}}]\n"
                         "rules: [{name: r1, type: a}, {name: r1, type: b}, {name: r1, type: c}]",
                  {"Duplicate rule name: 'r1'", "Duplicate rule name: 'r1'"}},
        CheckCase{"repeated source names",
                  root + "sources:\n"
                         "  - {name: crm, system: s, table: t, id: i, attributes: {}}\n"
                         "  - {name: crm, system: s, table: t, id: i, attributes: {}}",
                  {"Duplicate source name: 'crm'"}},
        CheckCase{"review alone passes against the default match",
                  root + "decision: {thresholds: {review: 0.5}}",
                  {}},
        CheckCase{"match below review",
                  root + "decision: {thresholds: {match: 0.6, review: 0.7}}",
                  {"Threshold error: 'match' should be >= 'review'"}},
        CheckCase{"review below reject",
                  root + "decision: {thresholds: {review: 0.3, reject: 0.4}}",
                  {"Threshold error: 'review' should be >= 'reject'"}},
        CheckCase{"both threshold errors",
                  root + "decision: {thresholds: {match: 0.1, review: 0.3, reject: 0.4}}",
                  {"Threshold error: 'match' should be >= 'review'",
                   "Threshold error: 'review' should be >= 'reject'"}},
        CheckCase{"placeholders in user texts stay literal",
                  contact_sources + "rules: [{name: '{}', type: exact, field: '{}x'}]",
                  {"Rule '{}' references unknown field '{}x'."}},
        CheckCase{"decision without thresholds", root + "decision: {match: 0.1, review: 0.9}", {}},
        CheckCase{"schema messages precede semantic ones",
                  contact_sources + "rules: [{name: r, type: exact, field: fax, weight: 3}, "
                                    "{name: r, type: exact}]",
                  {"rules[0]: weight 3 must be between 0 and 1",
                   "Rule 'r' references unknown field 'fax'.", "Duplicate rule name: 'r'"}}));

TEST(SchemaCheck, CountLimitsStillExamineEveryElement) {
    std::string rules = "rules:\n";
    for (int i = 0; i < 51; ++i) rules += "  - {}\n";
    const Messages messages = vt::validate_schema(velatro::document::read_tree(root + rules));
    ASSERT_EQ(messages.size(), 103u);
    EXPECT_EQ(messages[0], "Too many rules: 51. Maximum is 50.");
    EXPECT_EQ(messages[1], "rules[0]: missing required field 'name'");
    EXPECT_EQ(messages[102], "rules[50]: missing required field 'type'");

    std::string sources = "sources:\n";
    for (int i = 0; i < 11; ++i)
        sources +=
            "  - {name: s" + std::to_string(i) + ", system: x, table: t, id: i, attributes: {}}\n";
    EXPECT_EQ(vt::validate_schema(velatro::document::read_tree(root + sources)),
              Messages{"Too many sources: 11. Maximum is 10."});
    // Exactly at the limits nothing is reported.
    std::string fifty = "rules:\n";
    for (int i = 0; i < 50; ++i) fifty += "  - {name: r" + std::to_string(i) + ", type: exact}\n";
    EXPECT_TRUE(vt::validate_schema(velatro::document::read_tree(root + fifty)).empty());
}

TEST(ValidateYamlReading, UnreadableTextThrowsTheReaderError) {
    EXPECT_THROW(vt::validate_yaml("a: [1, 2"), velatro::document::ReadError);
    EXPECT_THROW(vt::validate_yaml("a: 1\na: 2\n: ["), velatro::document::ReadError);
}

TEST(ValidateYamlReading, CustomerExamplesAreClean) {
    for (const char* name : {"customer.yaml", "customer_v2.yaml"}) {
        std::ifstream in(std::string(VELATRO_SOURCE_DIR) + "/examples/" + name);
        ASSERT_TRUE(in) << name;
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(vt::validate_yaml(text.str()), Messages{}) << name;
    }
}

}  // namespace
