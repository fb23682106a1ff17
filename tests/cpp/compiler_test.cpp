#include "engine/compiler.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "document/digest.hpp"
#include "engine/log.hpp"
#include "plan/plan_json.hpp"

namespace velatro::engine {
namespace {

using plan::BlockingTransformation;
using plan::ScoringMethod;
namespace sp = velatro::spec;

// ---- parse_duration -----------------------------------------------------------------

struct DurationCase {
    const char* text;
    std::uint64_t seconds;
};

class ParseDuration : public ::testing::TestWithParam<DurationCase> {};

TEST_P(ParseDuration, Converts) {
    EXPECT_EQ(SpecCompiler::parse_duration(GetParam().text), GetParam().seconds)
        << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseDuration,
    ::testing::Values(DurationCase{"24h", 86400}, DurationCase{"7d", 604800},
                      DurationCase{"90", 90}, DurationCase{"30s", 30},
                      DurationCase{" \t15m\u00a0", 900}, DurationCase{"+5m", 300},
                      DurationCase{"", 0}, DurationCase{"   ", 0}, DurationCase{"1.5h", 0},
                      DurationCase{"10H", 0}, DurationCase{"-5m", 0}, DurationCase{"h", 0},
                      DurationCase{"+", 0}, DurationCase{"+h", 0}, DurationCase{"5 h", 0},
                      DurationCase{"18446744073709551615", 18446744073709551615u},
                      DurationCase{"18446744073709551616", 0},
                      // the unit multiplication wraps modulo 2^64
                      DurationCase{"18446744073709551615s", 18446744073709551615u},
                      DurationCase{"9223372036854775808m", 0}));

// ---- infer_transformations ----------------------------------------------------------

struct InferCase {
    std::vector<std::string> fields;
    std::vector<BlockingTransformation> expected;
};

class InferTransformations : public ::testing::TestWithParam<InferCase> {};

TEST_P(InferTransformations, Infers) {
    EXPECT_EQ(SpecCompiler::infer_transformations(GetParam().fields), GetParam().expected);
}

using T = BlockingTransformation;
INSTANTIATE_TEST_SUITE_P(
    Cases, InferTransformations,
    ::testing::Values(
        InferCase{{"email"}, {T::NormalizeEmail}}, InferCase{{"city", "zip"}, {T::Lowercase}},
        InferCase{{"first_name", "phone"}, {T::NormalizeName, T::NormalizePhone}},
        InferCase{{"hotel_name"}, {T::NormalizePhone}}, InferCase{{"username"}, {T::NormalizeName}},
        InferCase{{"First_Initial"}, {T::FirstInitial}}, InferCase{{"name_soundex"}, {T::Soundex}},
        InferCase{{"AREA_CODE"}, {T::AreaCode}}, InferCase{{"ssn_last_4"}, {T::Last4}},
        InferCase{{"card_last4"}, {T::Last4}}, InferCase{{"name_trigrams"}, {T::Trigrams}},
        InferCase{{"Mobile"}, {T::NormalizePhone}}, InferCase{{"cell"}, {T::NormalizePhone}},
        InferCase{{"homepage"}, {T::NormalizeDomain}}, InferCase{{"my_homepage"}, {T::Lowercase}},
        InferCase{{"company_website"}, {T::NormalizeDomain}},
        InferCase{{"email_domain"}, {T::NormalizeEmail}}, InferCase{{"url"}, {T::NormalizeDomain}},
        InferCase{{}, {T::Lowercase}}, InferCase{{"zip", "city", "email"}, {T::NormalizeEmail}}));

// ---- specs built in code ------------------------------------------------------------

sp::IdentitySpec minimal_spec() {
    sp::IdentitySpec spec;
    spec.api_version = "velatro/v1";
    spec.identity_version = "1";
    spec.entity.name = "person";
    spec.decision.thresholds.match = 0.85;
    spec.rules.push_back(sp::RuleSpec{sp::RuleSpec::Exact{"email", "email", 2.0, std::nullopt}});
    return spec;
}

sp::FsFieldSpec fs_field(std::string name, sp::FsComparator comparator, double weight, double m,
                         double u) {
    sp::FsFieldSpec field;
    field.name = std::move(name);
    field.comparator = comparator;
    field.weight = weight;
    field.m_probability = m;
    field.u_probability = u;
    return field;
}

TEST(SpecCompiler, PinsTheJsonOfASmallPlan) {
    auto plan = SpecCompiler::compile(minimal_spec());
    std::string expected =
        R"({"entity":"person","plan_hash":"","identity_version":"1","sources":[],)"
        R"("blocking":{"strategy":"composite","keys":[],"fallback_sample_rate":null,)"
        R"("lsh_bands":null,"lsh_rows":null,"neighborhood_window":null,"sort_fields":[]},)"
        R"("match_graph":{"rules":[{"name":"email","rule_type":{"type":"exact","field":"email",)"
        R"("weight":2.0,"case_insensitive":false,"normalize":false}}],"leaf_count":1},)"
        R"("survivorship":{"default_strategy":"most_recent","field_policies":{}},)"
        R"("decision":{"match_threshold":0.85,"review_threshold":null,"reject_threshold":null,)"
        R"("conflict_strategy":"prefer_high_confidence","review_webhook":null,)"
        R"("scoring_method":"weighted_sum","ml_ensemble_config":null,)"
        R"("custom_scoring_config":null,"fellegi_sunter":null,)"
        R"("tie_breaking":["lowest_entity_id"]},)"
        R"("reference_identifiers":[],"relations":[],"exclusions":[],"compliance":null,)"
        R"("hierarchy":null,"audit":{"log_all_comparisons":false,"log_decisions":false,)"
        R"("log_conflicts":false},"metadata":null,"governance":null})";
    std::string stored = plan.plan_hash;
    plan.plan_hash.clear();
    EXPECT_EQ(plan::to_json(plan), expected);
    EXPECT_EQ(stored, document::sha256_hex(expected));
    // Rehashing the stored plan digests a different text.
    plan.plan_hash = stored;
    EXPECT_NE(plan.compute_hash(), stored);
}

TEST(SpecCompiler, FellegiSunterWeights) {
    auto spec = minimal_spec();
    sp::ScoringSpec scoring;
    scoring.strategy = sp::ScoringStrategy::FellegiSunter;
    scoring.fields = std::vector<sp::FsFieldSpec>{
        fs_field("name", sp::FsComparator::JaroWinkler, 1.0, 0.9, 0.1),
        fs_field("zero_u", sp::FsComparator::Exact, 2.0, 0.9, 0.0),
        fs_field("one_u", sp::FsComparator::Exact, 1.0, 0.5, 1.0)};
    scoring.thresholds = sp::FsThresholds{8.0, 2.0, -4.0};
    spec.decision.scoring = scoring;
    auto plan = SpecCompiler::compile(spec);
    ASSERT_TRUE(plan.decision.fellegi_sunter);
    const auto& fs = *plan.decision.fellegi_sunter;
    const double max = std::numeric_limits<double>::max();
    EXPECT_EQ(fs.fields[0].w_agree, std::log(9.0));
    EXPECT_NEAR(fs.fields[0].w_agree, 2.1972, 1e-4);
    EXPECT_EQ(fs.fields[0].w_disagree, std::log((1.0 - 0.9) / (1.0 - 0.1)));
    EXPECT_NEAR(fs.fields[0].w_disagree, -2.1972, 1e-4);
    EXPECT_EQ(fs.fields[1].w_agree, std::numeric_limits<double>::infinity());  // 2 * max
    EXPECT_EQ(fs.fields[2].w_agree, std::log(0.5));
    EXPECT_EQ(fs.fields[2].w_disagree, -max);
    EXPECT_TRUE(std::isinf(fs.max_composite));
    EXPECT_EQ(fs.match_threshold, 8.0);
    EXPECT_FALSE(fs.em_training);  // training method defaults to "manual"

    scoring.fields->at(1).weight = 1.0;
    spec.decision.scoring = scoring;
    EXPECT_EQ(SpecCompiler::compile(spec).decision.fellegi_sunter->fields[1].w_agree, max);

    // An infinite weight has no JSON number: it is written as null.
    std::string text = plan::to_json(plan);
    EXPECT_NE(text.find(R"("w_agree":null)"), std::string::npos);

    scoring.fields->clear();
    spec.decision.scoring = scoring;
    auto empty = SpecCompiler::compile(spec).decision.fellegi_sunter;
    ASSERT_TRUE(empty);
    EXPECT_TRUE(std::signbit(empty->max_composite));
    EXPECT_TRUE(std::signbit(empty->min_composite));
    EXPECT_NE(plan::to_json(SpecCompiler::compile(spec))
                  .find(R"("max_composite":-0.0,"min_composite":-0.0)"),
              std::string::npos);
}

TEST(SpecCompiler, FellegiSunterRulesAndMethod) {
    auto spec = minimal_spec();
    sp::ScoringSpec scoring;
    scoring.method = sp::ScoringMethod::WeightedSum;
    scoring.strategy = sp::ScoringStrategy::FellegiSunter;
    scoring.fields = std::vector<sp::FsFieldSpec>{
        fs_field("email", sp::FsComparator::Levenshtein, 1.0, 0.9, 0.1),
        fs_field("phone", sp::FsComparator::Exact, 0.5, 0.9, 0.1),
        fs_field("name", sp::FsComparator::Metaphone, 0.7, 0.9, 0.1),
        fs_field("name", sp::FsComparator::Cosine, 0.7, 0.9, 0.1)};
    scoring.fields->at(1).normalizer = "phone";
    spec.decision.scoring = scoring;

    auto plan = SpecCompiler::compile(spec);
    // The strategy wins over the method, but without thresholds there is no plan.
    EXPECT_EQ(plan.decision.scoring_method, ScoringMethod::FellegiSunter);
    EXPECT_FALSE(plan.decision.fellegi_sunter);
    const auto& rules = plan.match_graph.rules;
    ASSERT_EQ(rules.size(), 4u);  // email kept as written; both "name" fields add a rule
    EXPECT_EQ(plan::to_json(rules[1]),
              R"({"name":"phone","rule_type":{"type":"exact","field":"phone","weight":0.5,)"
              R"("case_insensitive":false,"normalize":false}})");
    EXPECT_EQ(std::get<plan::CompiledExactRule>(rules[1].rule_type).normalizer, "phone");
    EXPECT_EQ(plan::to_json(rules[3]),
              R"({"name":"name","rule_type":{"type":"similarity","field":"name",)"
              R"("algorithm":"cosine","threshold":0.0,"weight":0.7,"normalizer":null}})");
    EXPECT_EQ(plan.match_graph.leaf_count, 4u);

    // The method alone, without the strategy, adds nothing and builds no plan.
    sp::ScoringSpec bare;
    bare.method = sp::ScoringMethod::FellegiSunter;
    bare.fields = scoring.fields;
    bare.thresholds = sp::FsThresholds{1.0, 0.5, 0.0};
    spec.decision.scoring = bare;
    plan = SpecCompiler::compile(spec);
    EXPECT_EQ(plan.decision.scoring_method, ScoringMethod::FellegiSunter);
    EXPECT_FALSE(plan.decision.fellegi_sunter);
    EXPECT_EQ(plan.match_graph.rules.size(), 1u);
}

TEST(SpecCompiler, CustomExpressionIsValidatedAndKept) {
    auto spec = minimal_spec();
    sp::ScoringSpec scoring;
    scoring.method = sp::ScoringMethod::Custom;
    scoring.custom = sp::CustomScoringConfig{"max(email"};
    spec.decision.scoring = scoring;
    LogCapture capture;
    auto plan = SpecCompiler::compile(spec);
    ASSERT_TRUE(plan.decision.custom_scoring_config);
    EXPECT_EQ(plan.decision.custom_scoring_config->expression, "max(email");
    auto entries = capture.entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0],
              (LogCapture::Entry{LogLevel::Error, "orvane_core::engine::compiler",
                                 "Invalid custom scoring expression: expression error: "
                                 "mismatched parentheses"}));

    scoring.custom = sp::CustomScoringConfig{"0.5 * email"};
    spec.decision.scoring = scoring;
    SpecCompiler::compile(spec);
    scoring.custom = sp::CustomScoringConfig{""};
    spec.decision.scoring = scoring;
    EXPECT_FALSE(SpecCompiler::compile(spec).decision.custom_scoring_config);
    EXPECT_EQ(capture.entries().size(), 1u);
}

TEST(SpecCompiler, BlockingSurvivorshipAndDecisionDefaults) {
    auto spec = minimal_spec();
    sp::BlockingSpec blocking;
    blocking.strategy = sp::BlockingStrategy::Lsh;
    blocking.keys = {{"email"}, {"first_name", "phone"}};
    blocking.fallback = sp::BlockingFallback{false, 0.25};
    spec.blocking = blocking;
    sp::SurvivorshipSpec survivorship;
    survivorship.default_ = sp::SurvivorshipStrategy::MostComplete;
    survivorship.overrides = {
        {"email", sp::SurvivorshipStrategy::SourcePriority, {}, std::nullopt},
        {"phone", sp::SurvivorshipStrategy::SourcePriority, {"crm"}, std::nullopt},
        {"points", sp::SurvivorshipStrategy::MostRecent, {}, std::nullopt},
        {"points", sp::SurvivorshipStrategy::Aggregate, {}, sp::AggregateFunction::Intersection}};
    spec.survivorship = survivorship;
    spec.decision.review_queue = sp::ReviewQueueSpec{false, "https://hook", std::nullopt};
    spec.decision.tie_breaking = std::vector<sp::TieBreaker>{};

    auto plan = SpecCompiler::compile(spec);
    std::string text = plan::to_json(plan);
    EXPECT_NE(text.find(R"("blocking":{"strategy":"lsh","keys":[{"fields":["email"],)"
                        R"("transformations":["normalize_email"]},{"fields":["first_name",)"
                        R"("phone"],"transformations":["normalize_name","normalize_phone"]}],)"
                        R"("fallback_sample_rate":0.25,"lsh_bands":null,"lsh_rows":null,)"
                        R"("neighborhood_window":50,"sort_fields":[]})"),
              std::string::npos);
    EXPECT_NE(text.find(R"("survivorship":{"default_strategy":"most_complete","field_policies":)"
                        R"({"email":{"strategy":"source_priority","source_priority":null,)"
                        R"("aggregate_fn":null},"phone":{"strategy":"source_priority",)"
                        R"("source_priority":["crm"],"aggregate_fn":null},"points":)"
                        R"({"strategy":"aggregate","source_priority":null,)"
                        R"("aggregate_fn":"Intersection"}}})"),
              std::string::npos);
    EXPECT_EQ(plan.decision.review_webhook, "https://hook");
    EXPECT_TRUE(plan.decision.tie_breaking.empty());  // an explicit empty list is kept
}

}  // namespace
}  // namespace velatro::engine
