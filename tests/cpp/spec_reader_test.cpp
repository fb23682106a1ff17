// Typed reading of identity specs: defaults, the two reading modes, the untagged
// and tagged forms, and the exact reading messages with their paths and positions.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>

#include "spec/read_cursor.hpp"
#include "spec/reader.hpp"

namespace {

using namespace velatro;
using namespace velatro::spec;

// Lines 1-5; whatever a case adds starts on line 6.
const std::string kHead =
    "api_version: velatro/v1\n"
    "identity_version: \"1\"\n"
    "entity:\n"
    "  name: customer\n"
    "sources: []\n";
const std::string kDecision =
    "decision:\n"
    "  thresholds:\n"
    "    match: 0.8\n";

std::string read_error(const std::string& yaml) {
    try {
        read_identity_spec(yaml);
    } catch (const velatro::document::ReadError& e) {
        return e.what();
    }
    return "<read fine>";
}

struct ErrorCase {
    const char* label;
    std::string yaml;
    std::string message;
};

class ReadingErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ReadingErrors, ReportsTheFirstProblemWithPathAndPosition) {
    EXPECT_EQ(read_error(GetParam().yaml), GetParam().message);
}

const std::string kMethods = "one of `weighted_sum`, `ml_ensemble`, `custom`, `fellegi_sunter`";
const std::string kRuleTypes = "one of `exact`, `similarity`, `range`, `composite`, `ml`";

INSTANTIATE_TEST_SUITE_P(
    Spec, ReadingErrors,
    ::testing::Values(
        // Missing keys: the first in key order, pointing at the enclosing mapping.
        ErrorCase{"missing_entity_and_sources", "api_version: v\nidentity_version: x\n" + kDecision,
                  "missing field `entity` at line 1 column 1"},
        ErrorCase{"missing_decision", kHead, "missing field `decision` at line 1 column 1"},
        ErrorCase{"entity_without_name",
                  "api_version: v\nidentity_version: x\nsources: []\nentity:\n  colour: red\n" +
                      kDecision,
                  "entity: missing field `name` at line 5 column 3"},
        ErrorCase{"duplicate_top_level_key", kHead + "entity: {name: x}\n" + kDecision,
                  "duplicate field `entity` at line 1 column 1"},
        // Direct reading: the path goes down to the offending value.
        ErrorCase{"threshold_as_word", kHead + "decision:\n  thresholds:\n    match: high\n",
                  "decision.thresholds.match: invalid type: string \"high\", expected f64 at "
                  "line 8 column 12"},
        ErrorCase{"quoted_number_is_text", kHead + "decision:\n  thresholds: {match: '0.5'}\n",
                  "decision.thresholds.match: invalid type: string \"0.5\", expected f64 at line "
                  "7 column 23"},
        ErrorCase{"unknown_conflict_strategy", kHead + kDecision + "  conflict_strategy: fastest\n",
                  "decision.conflict_strategy: unknown variant `fastest`, expected one of "
                  "`prefer_high_confidence`, `prefer_recent`, `manual_review` at line 9 column 22"},
        ErrorCase{
            "two_choices",
            kHead + "reference_identifiers:\n  - {name: n, type: global, field: f}\n" + kDecision,
            "reference_identifiers[0].type: unknown variant `global`, expected `external` "
            "or `internal` at line 7 column 21"},
        ErrorCase{"blocking_key_as_string", kHead + "blocking:\n  keys:\n    - email\n" + kDecision,
                  "blocking.keys[0]: invalid type: string \"email\", expected a sequence at line 8 "
                  "column 7"},
        ErrorCase{"blocking_key_as_map",
                  kHead + "blocking:\n  keys:\n    - {f: email}\n" + kDecision,
                  "blocking.keys[0]: invalid type: map, expected a sequence at line 8 column 7"},
        ErrorCase{"depth_above_255",
                  "api_version: v\nidentity_version: x\nsources: []\nentity:\n  name: c\n"
                  "  hierarchy: {parent_field: p, depth: 300}\n" +
                      kDecision,
                  "entity.hierarchy.depth: invalid value: integer `300`, expected u8 at line 6 "
                  "column 39"},
        ErrorCase{"negative_retention",
                  "api_version: v\nidentity_version: x\nsources: []\nentity:\n  name: c\n"
                  "  compliance:\n    retention_days: -1\n" +
                      kDecision,
                  "entity.compliance.retention_days: invalid value: integer `-1`, expected u32 at "
                  "line 7 column 21"},
        ErrorCase{"sla_hours_float", kHead + kDecision + "  review_queue: {sla_hours: 1.5}\n",
                  "decision.review_queue.sla_hours: invalid type: floating point `1.5`, expected "
                  "u32 at line 9 column 29"},
        ErrorCase{"null_rule_list", kHead + "rules: ~\n" + kDecision,
                  "rules: invalid type: unit value, expected a sequence at line 6 column 8"},
        ErrorCase{"null_conditions",
                  kHead +
                      "reference_identifiers:\n  - name: n\n    type: external\n    field: f\n"
                      "    conditions: null\n" +
                      kDecision,
                  "reference_identifiers[0].conditions: invalid type: unit value, expected a "
                  "sequence at line 10 column 17"},
        ErrorCase{"boolean_word_yes", kHead + "governance: {require_schema: yes}\n" + kDecision,
                  "governance.require_schema: invalid type: string \"yes\", expected a boolean at "
                  "line 6 column 30"},
        ErrorCase{"record_as_text", kHead + kDecision + "survivorship: most_recent\n",
                  "survivorship: invalid type: string \"most_recent\", expected struct "
                  "SurvivorshipSpec at line 9 column 15"},
        ErrorCase{"record_as_sequence_direct", kHead + kDecision + "governance: [true]\n",
                  "governance: invalid type: sequence, expected struct GovernanceSpec at line 9 "
                  "column 13"},
        ErrorCase{"override_without_strategy",
                  kHead + kDecision + "survivorship:\n  overrides:\n    - field: email\n",
                  "survivorship.overrides[0]: missing field `strategy` at line 11 column 7"},
        ErrorCase{"relation_without_cardinality",
                  kHead + kDecision +
                      "relations:\n  - {name: r, from_entity: a, to_entity: b, join_key: k}\n",
                  "relations[0]: missing field `cardinality` at line 10 column 5"},
        ErrorCase{"tie_breaker", kHead + kDecision + "  tie_breaking: [lowest_entity_id, coin]\n",
                  "decision.tie_breaking[1]: unknown variant `coin`, expected one of "
                  "`exact_match_priority`, `lowest_entity_id`, `earliest_timestamp` at line 9 "
                  "column 36"},
        ErrorCase{"root_is_a_list", "- a\n- b\n",
                  "invalid type: sequence, expected struct IdentitySpec at line 1 column 1"},
        // Whole-value reading: a rule or exclusion is one value, so the path stops at
        // its index and the position is where it starts.
        ErrorCase{"rule_without_type",
                  kHead + "rules:\n  - name: r\n    field: email\n" + kDecision,
                  "rules[0]: missing field `type` at line 7 column 5"},
        ErrorCase{
            "rule_type_unknown",
            kHead +
                "rules:\n  - {name: r, type: exact, field: e}\n  - {name: s, type: "
                "fuzzy}\n" +
                kDecision,
            "rules[1]: unknown variant `fuzzy`, expected " + kRuleTypes + " at line 8 column 5"},
        ErrorCase{"rule_type_number", kHead + "rules:\n  - {name: r, type: 1}\n" + kDecision,
                  "rules[0]: unknown variant `1`, expected " + kRuleTypes + " at line 7 column 5"},
        ErrorCase{
            "rule_type_list", kHead + "rules:\n  - {name: r, type: [exact]}\n" + kDecision,
            "rules[0]: invalid type: sequence, expected variant identifier at line 7 column 5"},
        ErrorCase{"third_rule_type_error",
                  kHead +
                      "rules:\n  - {name: a, type: exact, field: e}\n"
                      "  - {name: b, type: exact, field: e}\n"
                      "  - name: c\n    type: similarity\n    field: e\n"
                      "    algorithm: jaro_winkler\n    threshold: '0.9'\n" +
                      kDecision,
                  "rules[2]: invalid type: string \"0.9\", expected f64 at line 9 column 5"},
        ErrorCase{"rule_name_must_be_a_string",
                  kHead + "rules:\n  - {name: 42, type: exact, field: e}\n" + kDecision,
                  "rules[0]: invalid type: integer `42`, expected a string at line 7 column 5"},
        ErrorCase{"similarity_without_threshold",
                  kHead + "rules:\n  - {name: r, type: similarity, field: e, algorithm: cosine}\n" +
                      kDecision,
                  "rules[0]: missing field `threshold` at line 7 column 5"},
        ErrorCase{
            "unknown_algorithm",
            kHead +
                "rules:\n  - {name: r, type: similarity, field: e, algorithm: dice, "
                "threshold: 1}\n" +
                kDecision,
            "rules[0]: unknown variant `dice`, expected one of `jaro_winkler`, "
            "`levenshtein`, `soundex`, `metaphone`, `cosine`, `haversine` at line 7 column 5"},
        ErrorCase{"field_and_fields",
                  kHead + "rules:\n  - {name: r, type: exact, fields: [a], field: b}\n" + kDecision,
                  "rules[0]: duplicate field `field` at line 7 column 5"},
        ErrorCase{"empty_fields",
                  kHead + "rules:\n  - {name: r, type: exact, fields: []}\n" + kDecision,
                  "rules[0]: fields array cannot be empty at line 7 column 5"},
        ErrorCase{
            "fields_of_numbers",
            kHead + "rules:\n  - {name: r, type: exact, fields: [1, 2]}\n" + kDecision,
            "rules[0]: data did not match any variant of untagged enum FieldOrFields at line 7 "
            "column 5"},
        ErrorCase{"duplicate_key_in_rule",
                  kHead + "rules:\n  - {name: r, type: exact, field: a, weight: 1, weight: 2}\n" +
                      kDecision,
                  "rules[0]: duplicate field `weight` at line 7 column 5"},
        ErrorCase{"rule_sequence_too_short", kHead + "rules:\n  - [exact, r]\n" + kDecision,
                  "rules[0]: invalid length 1, expected struct variant RuleSpec::Exact with 4 "
                  "elements at line 7 column 5"},
        ErrorCase{"rule_sequence_too_long",
                  kHead + "rules:\n  - [exact, r, f, 1, null, extra]\n" + kDecision,
                  "rules[0]: invalid length 5, expected struct variant RuleSpec::Exact with 4 "
                  "elements at line 7 column 5"},
        ErrorCase{"rule_as_text", kHead + "rules: [exact]\n" + kDecision,
                  "rules[0]: invalid type: string \"exact\", expected internally tagged enum "
                  "RuleSpec at line 6 column 9"},
        ErrorCase{"error_in_nested_child",
                  kHead +
                      "rules:\n  - name: c\n    type: composite\n    operator: and\n"
                      "    children:\n      - {name: x, type: exact}\n" +
                      kDecision,
                  "rules[0]: missing field `field` at line 7 column 5"},
        ErrorCase{
            "option_flag_as_text",
            kHead + "rules:\n  - {name: r, type: exact, field: e, options: {normalize: 'yes'}}\n" +
                kDecision,
            "rules[0]: invalid type: string \"yes\", expected a boolean at line 7 column 5"},
        ErrorCase{
            "exclusion_without_value",
            kHead + kDecision + "exclusions:\n  - {type: field_value, field: f, operator: eq}\n",
            "exclusions[0]: missing field `value` at line 10 column 5"},
        ErrorCase{"exclusion_kind_unknown", kHead + kDecision + "exclusions:\n  - type: tenant\n",
                  "exclusions[0]: unknown variant `tenant`, expected one of `field_value`, "
                  "`explicit_pair`, `cross_tenant` at line 10 column 5"},
        ErrorCase{"cross_tenant_flag_as_text",
                  kHead + kDecision + "exclusions:\n  - {type: cross_tenant, enabled: 'true'}\n",
                  "exclusions[0]: invalid type: string \"true\", expected a boolean at line 10 "
                  "column 5"},
        // Untagged forms: the reason inside is not reported.
        ErrorCase{"source_attribute_number",
                  "api_version: v\nidentity_version: x\nentity: {name: c}\n"
                  "sources:\n  - name: crm\n    attributes: {age: 42}\n" +
                      kDecision,
                  "sources: data did not match any variant of untagged enum SourcesFormat at line "
                  "5 column 3"},
        ErrorCase{"source_freshness_without_age",
                  "api_version: v\nidentity_version: x\nentity: {name: c}\n"
                  "sources:\n  crm: {freshness: {warn_after_hours: 3}}\n" +
                      kDecision,
                  "sources: data did not match any variant of untagged enum SourcesFormat at line "
                  "5 column 3"},
        ErrorCase{"sources_null",
                  "api_version: v\nidentity_version: x\nentity: {name: c}\nsources:\n" + kDecision,
                  "sources: data did not match any variant of untagged enum SourcesFormat at line "
                  "4 column 9"},
        ErrorCase{"scoring_method_unknown", kHead + kDecision + "  scoring: magic\n",
                  "decision.scoring: unknown variant `magic`, expected " + kMethods +
                      " at line 9 column 12"},
        ErrorCase{"scoring_field_without_u",
                  kHead + kDecision +
                      "  scoring:\n    method: fellegi_sunter\n    fields:\n"
                      "      - {name: email, comparator: exact, m_probability: 0.9}\n",
                  "decision.scoring: data did not match any variant of untagged enum ScoringFormat "
                  "at line 10 column 5"},
        ErrorCase{"scoring_number", kHead + kDecision + "  scoring: 3\n",
                  "decision.scoring: data did not match any variant of untagged enum ScoringFormat "
                  "at line 9 column 12"}),
    [](const auto& info) { return std::string(info.param.label); });

std::string customer_yaml() {
    std::ifstream in(VELATRO_SOURCE_DIR "/examples/customer.yaml");
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

TEST(SpecReader, ReadsTheCustomerExample) {
    IdentitySpec spec = read_identity_spec(customer_yaml());
    EXPECT_EQ(spec.entity.name, "customer");
    ASSERT_EQ(spec.sources.size(), 3u);
    EXPECT_EQ(spec.sources[0].name, "crm");
    EXPECT_EQ(spec.sources[0].freshness->max_age, "24h");
    EXPECT_EQ(spec.sources[0].freshness->warn_after, "12h");
    EXPECT_EQ(spec.sources[1].freshness->max_age, "48h");
    EXPECT_EQ(spec.sources[1].freshness->warn_after, "36h");
    EXPECT_EQ(spec.sources[1].sampling->strategy, SamplingStrategy::TimeBased);
    EXPECT_EQ(spec.sources[0].temporal->strategy, TemporalStrategy::PointInTime);
    ASSERT_EQ(spec.rules.size(), 11u);
    const auto& edit = std::get<RuleSpec::Similarity>(spec.rules[3].kind);
    EXPECT_EQ(edit.field, "last_name");  // written as `fields`
    EXPECT_EQ(edit.algorithm, SimilarityAlgorithm::Levenshtein);
    const auto& range = std::get<RuleSpec::Range>(spec.rules[8].kind);
    EXPECT_EQ(range.tolerance, 1.0);
    const auto& composite = std::get<RuleSpec::Composite>(spec.rules[9].kind);
    ASSERT_EQ(composite.children.size(), 3u);
    EXPECT_EQ(std::get<RuleSpec::Composite>(composite.children[2].kind).children.size(), 2u);
    ASSERT_TRUE(spec.decision.scoring);
    EXPECT_EQ(spec.decision.scoring->method, ScoringMethod::FellegiSunter);
    EXPECT_EQ(spec.decision.scoring->fields->size(), 4u);
    EXPECT_EQ(spec.decision.scoring->training->max_random_pairs, 500000u);
    EXPECT_EQ(spec.decision.conflict_strategy, ConflictStrategy::PreferRecent);
    EXPECT_EQ(spec.survivorship->overrides[2].function, AggregateFunction::Sum);
    ASSERT_EQ(spec.exclusions->size(), 4u);
    const auto& placeholder = std::get<ExclusionSpec::FieldValue>((*spec.exclusions)[0].kind);
    EXPECT_EQ(placeholder.value, document::Value("test@example.com"));
    EXPECT_TRUE(std::get<ExclusionSpec::CrossTenant>((*spec.exclusions)[3].kind).enabled);
    EXPECT_EQ(spec.entity.hierarchy->depth, 2);
    EXPECT_EQ(spec.entity.compliance->retention_days, 2555u);
}

TEST(SpecReader, DefaultsOfAMinimalSpec) {
    IdentitySpec spec = read_identity_spec(kHead + kDecision +
                                           "blocking: {}\nsurvivorship: {overrides: []}\n"
                                           "governance: {owner: someone}\n"
                                           "entity2: ignored\n");
    EXPECT_TRUE(spec.rules.empty());
    EXPECT_TRUE(spec.sources.empty());
    EXPECT_FALSE(spec.metadata);
    EXPECT_FALSE(spec.exclusions);
    EXPECT_EQ(spec.blocking->strategy, BlockingStrategy::Composite);
    EXPECT_FALSE(spec.blocking->fallback);
    EXPECT_EQ(spec.survivorship->default_, SurvivorshipStrategy::MostRecent);
    EXPECT_FALSE(spec.governance->require_schema);
    EXPECT_TRUE(spec.governance->required_tags.empty());
    EXPECT_EQ(spec.decision.conflict_strategy, ConflictStrategy::PreferHighConfidence);
    EXPECT_FALSE(spec.decision.scoring);
    EXPECT_FALSE(spec.decision.thresholds.review);
}

TEST(SpecReader, DirectReadingTakesScalarsAsWritten) {
    IdentitySpec spec = read_identity_spec(
        "api_version: 1.0\nidentity_version: 007\nmetadata:\nentity:\n  name: null\n"
        "  description: ~\n  hierarchy: {parent_field: 42}\nsources: {}\n"
        "reference_identifiers:\n  - {name: n, type: internal, field: f, match_weight: 2}\n"
        "decision:\n  thresholds: {match: 1, review: null}\n  tie_breaking:\n");
    EXPECT_EQ(spec.api_version, "1.0");
    EXPECT_EQ(spec.identity_version, "007");
    EXPECT_FALSE(spec.metadata);  // empty value: not set
    EXPECT_EQ(spec.entity.name, "null");
    EXPECT_FALSE(spec.entity.description);
    EXPECT_EQ(spec.entity.hierarchy->parent_field, "42");
    EXPECT_EQ(spec.entity.hierarchy->depth, 5);
    EXPECT_EQ((*spec.reference_identifiers)[0].match_weight, 2.0);
    EXPECT_EQ((*spec.reference_identifiers)[0].type, ReferenceIdType::Internal);
    EXPECT_EQ(spec.decision.thresholds.match, 1.0);
    EXPECT_FALSE(spec.decision.thresholds.review);
    EXPECT_FALSE(spec.decision.tie_breaking);
}

TEST(SpecReader, EmptyValuesStandForEmptyCollectionsAndRecords) {
    IdentitySpec spec = read_identity_spec(kHead + kDecision +
                                           "rules:\nmetadata:\nsurvivorship:\n  overrides:\n"
                                           "blocking:\n  keys:\n");
    EXPECT_TRUE(spec.rules.empty());
    EXPECT_TRUE(spec.survivorship->overrides.empty());
    EXPECT_FALSE(spec.metadata);
    EXPECT_TRUE(spec.blocking->keys.empty());
    EXPECT_EQ(read_error(kHead + "decision:\n"),
              "decision: missing field `thresholds` at line 6 column 10");
}

TEST(SpecReader, SourcesForms) {
    const std::string tail = kDecision;
    IdentitySpec by_name = read_identity_spec(
        "api_version: v\nidentity_version: x\nentity: {name: c}\n"
        "sources:\n  crm: {name: other, adapter: bigquery, system: warehouse}\n"
        "  billing: {system: ledger, table: invoices, primary_key: no, id: inv}\n"
        "  crm: {system: later}\n" +
        tail);
    ASSERT_EQ(by_name.sources.size(), 2u);
    EXPECT_EQ(by_name.sources[0].name, "billing");
    EXPECT_EQ(by_name.sources[1].name, "crm");
    EXPECT_EQ(by_name.sources[1].system, "later");  // the later entry replaces the earlier
    EXPECT_EQ(by_name.sources[0].resolved_adapter(), "ledger");
    EXPECT_EQ(by_name.sources[0].resolved_location(), "invoices");
    EXPECT_EQ(by_name.sources[0].resolved_primary_key(), "no");
    EXPECT_EQ(by_name.sources[1].resolved_adapter(), "later");
    EXPECT_EQ(by_name.sources[1].resolved_location(), "unknown");
    EXPECT_EQ(by_name.sources[1].resolved_primary_key(), "id");

    IdentitySpec listed = read_identity_spec(
        "api_version: v\nidentity_version: x\nentity: {name: c}\n"
        "sources:\n  - {name: z, adapter: bigquery, system: warehouse}\n"
        "  - schema: {email: {type: string, pii: true}, phone: [string, true], name: [string]}\n"
        "    attributes: {age: '42'}\n"
        "    freshness: {max_age: 7d, max_age_hours: 1}\n" +
        tail);
    ASSERT_EQ(listed.sources.size(), 2u);
    EXPECT_EQ(listed.sources[0].name, "z");
    EXPECT_EQ(listed.sources[0].resolved_adapter(), "bigquery");
    EXPECT_EQ(listed.sources[1].name, "");
    EXPECT_EQ(listed.sources[1].attributes.at("age"), "42");
    EXPECT_EQ(listed.sources[1].freshness->max_age, "7d");
    EXPECT_FALSE(listed.sources[1].freshness->warn_after);
    auto pii = listed.sources[1].pii_fields();
    std::sort(pii.begin(), pii.end());
    EXPECT_EQ(pii, (std::vector<std::string>{"email", "phone"}));
    EXPECT_TRUE(listed.sources[0].pii_fields().empty());
}

TEST(SpecReader, RuleFormsAndDefaults) {
    IdentitySpec spec = read_identity_spec(
        kHead +
        "rules:\n"
        "  - {name: a, type: similarity, fields: [first, second], algorithm: soundex, threshold: "
        "1}\n"
        "  - [exact, b, email]\n"
        "  - {type: ml, name: m, model: x, features: [a], threshold: 0.5, colour: red}\n" +
        kDecision + "  scoring: fellegi_sunter\n");
    const auto& sim = std::get<RuleSpec::Similarity>(spec.rules[0].kind);
    EXPECT_EQ(sim.field, "first");
    EXPECT_EQ(sim.threshold, 1.0);
    EXPECT_EQ(sim.weight, 1.0);
    const auto& exact = std::get<RuleSpec::Exact>(spec.rules[1].kind);
    EXPECT_EQ(exact.name, "b");
    EXPECT_EQ(exact.field, "email");
    EXPECT_FALSE(exact.options);
    EXPECT_EQ(spec.rules[2].name(), "m");
    ASSERT_TRUE(spec.decision.scoring);
    EXPECT_EQ(spec.decision.scoring->method, ScoringMethod::FellegiSunter);
    EXPECT_FALSE(spec.decision.scoring->fields);

    IdentitySpec mapping =
        read_identity_spec(kHead + kDecision +
                           "  scoring:\n    ml_ensemble: {coefficients: {a: 1}}\n"
                           "    training: {}\n");
    EXPECT_EQ(mapping.decision.scoring->method, ScoringMethod::WeightedSum);
    EXPECT_EQ(mapping.decision.scoring->ml_ensemble->coefficients.at("a"), 1.0);
    EXPECT_EQ(mapping.decision.scoring->training->method, "manual");
    EXPECT_EQ(mapping.decision.scoring->training->max_iterations, 25u);
}

TEST(SpecReader, FloatsInMessagesShowTheirPoint) {
    EXPECT_EQ(read_error(kHead + kDecision + "  review_queue: {sla_hours: 2.0}\n"),
              "decision.review_queue.sla_hours: invalid type: floating point `2.0`, expected u32 "
              "at line 9 column 29");
    EXPECT_EQ(read_error(kHead + kDecision + "  audit: {log_decisions: .inf}\n"),
              "decision.audit.log_decisions: invalid type: floating point `inf`, expected a "
              "boolean at line 9 column 26");
}

TEST(SpecReader, StringsInMessagesAreEscaped) {
    EXPECT_EQ(read_error(kHead + kDecision + "  audit: {log_decisions: \"a\\tb\\\"c\"}\n"),
              "decision.audit.log_decisions: invalid type: string \"a\\tb\\\"c\", expected a "
              "boolean at line 9 column 26");
}

TEST(SpecReader, PolicyDefaults) {
    IdentitySpec spec = read_identity_spec(
        kHead + kDecision +
        "survivorship:\n  overrides:\n    - {field: email, strategy: aggregate}\n"
        "exclusions:\n  - type: cross_tenant\n  - [explicit_pair, crm, l, r]\n"
        "  - {type: field_value, field: f, operator: in, value: [test, demo]}\n"
        "relations:\n  - {name: r, from_entity: a, to_entity: b, join_key: k, "
        "cardinality: one_to_many}\n");
    const auto& override_ = spec.survivorship->overrides[0];
    EXPECT_TRUE(override_.priority.empty());
    EXPECT_FALSE(override_.function);
    EXPECT_FALSE(std::get<ExclusionSpec::CrossTenant>((*spec.exclusions)[0].kind).enabled);
    EXPECT_EQ(std::get<ExclusionSpec::ExplicitPair>((*spec.exclusions)[1].kind).right_id_field,
              "r");
    EXPECT_EQ(std::get<ExclusionSpec::FieldValue>((*spec.exclusions)[2].kind).value,
              document::Value(document::Array{"test", "demo"}));
    EXPECT_FALSE((*spec.relations)[0].propagate_match);
    EXPECT_EQ((*spec.relations)[0].cardinality, Cardinality::OneToMany);
}

TEST(SpecReader, ChoiceListWording) {
    const std::string_view names[] = {"a", "b", "c"};
    EXPECT_EQ(describe_choices(names, 1), "`a`");
    EXPECT_EQ(describe_choices(names, 2), "`a` or `b`");
    EXPECT_EQ(describe_choices(names, 3), "one of `a`, `b`, `c`");
}

}  // namespace
