#include "plan/plan_json.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "plan/identity_plan.hpp"

namespace velatro::plan {
namespace {

TEST(PlanJson, EmptyPlanWritesAllSixteenMembersInFieldOrder) {
    IdentityPlan plan;
    EXPECT_EQ(to_json(plan),
              R"({"entity":"","plan_hash":"","identity_version":"","sources":[],)"
              R"("blocking":{"strategy":"composite","keys":[],"fallback_sample_rate":null,)"
              R"("lsh_bands":null,"lsh_rows":null,"neighborhood_window":null,"sort_fields":[]},)"
              R"("match_graph":{"rules":[],"leaf_count":0},)"
              R"("survivorship":{"default_strategy":"most_recent","field_policies":{}},)"
              R"("decision":{"match_threshold":0.0,"review_threshold":null,)"
              R"("reject_threshold":null,"conflict_strategy":"prefer_high_confidence",)"
              R"("review_webhook":null,"scoring_method":"weighted_sum",)"
              R"("ml_ensemble_config":null,"custom_scoring_config":null,)"
              R"("fellegi_sunter":null,"tie_breaking":[]},)"
              R"("reference_identifiers":[],"relations":[],"exclusions":[],)"
              R"("compliance":null,"hierarchy":null,)"
              R"("audit":{"log_all_comparisons":false,"log_decisions":false,)"
              R"("log_conflicts":false},"metadata":null,"governance":null})");
}

TEST(PlanJson, RuleKindsAreTaggedAndExactHidesItsNormalizer) {
    CompiledRule exact{"email", CompiledExactRule{"email", 2.0, true, false, "email"}};
    EXPECT_EQ(to_json(exact),
              R"({"name":"email","rule_type":{"type":"exact","field":"email","weight":2.0,)"
              R"("case_insensitive":true,"normalize":false}})");

    CompiledRule range{"age", CompiledRangeRule{"age", 1.5, 0.5, "trim"}};
    EXPECT_EQ(to_json(range),
              R"({"name":"age","rule_type":{"type":"range","field":"age","tolerance":1.5,)"
              R"("weight":0.5,"normalizer":"trim"}})");

    CompiledRule sim{"name", CompiledSimilarityRule{"name", SimilarityAlgorithm::JaroWinkler,
                                                    0.85, 1.0, std::nullopt}};
    CompiledRule ml{"m", CompiledMlRule{"model-1", {"a", "b"}, 0.5, 1e-6}};
    CompiledRule empty{"none", CompiledCompositeRule{CompositeOperator::Or, {}}};
    CompiledRule both{"both", CompiledCompositeRule{CompositeOperator::And, {sim, ml, empty}}};
    EXPECT_EQ(to_json(both),
              R"({"name":"both","rule_type":{"type":"composite","operator":"and","children":[)"
              R"({"name":"name","rule_type":{"type":"similarity","field":"name",)"
              R"("algorithm":"jaro_winkler","threshold":0.85,"weight":1.0,"normalizer":null}},)"
              R"({"name":"m","rule_type":{"type":"ml","model_id":"model-1","features":["a","b"],)"
              R"("threshold":0.5,"weight":1e-6}},)"
              R"({"name":"none","rule_type":{"type":"composite","operator":"or","children":[]}}]}})");
}

TEST(PlanJson, ExclusionsAreTaggedAndValuesKeepSortedKeys) {
    EXPECT_EQ(to_json(CompiledExclusion{CompiledCrossTenantExclusion{true}}),
              R"({"type":"cross_tenant","enabled":true})");
    EXPECT_EQ(to_json(CompiledExclusion{CompiledExplicitPairExclusion{"a", "b"}}),
              R"({"type":"explicit_pair","left_id":"a","right_id":"b"})");
    document::Object obj;
    obj["z"] = document::Value(1);
    obj["a"] = document::Value(-2);
    EXPECT_EQ(to_json(CompiledExclusion{CompiledFieldValueExclusion{"status", "eq", obj}}),
              R"({"type":"field_value","field":"status","operator":"eq","value":{"a":-2,"z":1}})");
}

TEST(PlanJson, ScalarsFollowTheCompactWriter) {
    IdentityPlan plan;
    ResolvedSource source;
    source.name = "crm\tv\xC3\xA9";  // tab escaped, accented letter kept as UTF-8
    source.field_mappings = {{"zip", "postal"}, {"email", "mail"}};
    plan.sources.push_back(source);
    CompiledFellegiSunterPlan fs;
    fs.max_composite = -0.0;
    fs.min_composite = std::numeric_limits<double>::infinity();
    fs.match_threshold = 0.85;
    plan.decision.fellegi_sunter = fs;
    plan.hierarchy = CompiledHierarchy{"parent", 7, {}};
    std::string text = to_json(plan);
    EXPECT_NE(text.find(R"("name":"crm\tv)"
                        "\xC3\xA9\""),
              std::string::npos);
    EXPECT_NE(text.find(R"("field_mappings":{"email":"mail","zip":"postal"})"), std::string::npos);
    EXPECT_NE(text.find(R"("match_threshold":0.85,"possible_threshold":0.0,)"
                        R"("non_match_threshold":0.0,"max_composite":-0.0,"min_composite":null,)"
                        R"("em_training":null})"),
              std::string::npos);
    EXPECT_NE(text.find(R"("hierarchy":{"parent_field":"parent","max_depth":7,)"
                        R"("inherited_fields":[]})"),
              std::string::npos);
}

TEST(PlanJson, HashIsLowerHexOfTheText) {
    IdentityPlan plan;
    std::string first = plan.compute_hash();
    EXPECT_EQ(first.size(), 64u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(first, plan.compute_hash());
    plan.plan_hash = first;
    EXPECT_NE(plan.compute_hash(), first);
}

}  // namespace
}  // namespace velatro::plan
