// The example customer spec end to end: read, compile, write and hash.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "engine/compiler.hpp"
#include "plan/plan_json.hpp"
#include "spec/reader.hpp"

namespace velatro::engine {
namespace {

std::string read_example(const char* name) {
    std::ifstream in(std::string(VELATRO_SOURCE_DIR) + "/examples/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

plan::IdentityPlan compile_text(const std::string& yaml) {
    return SpecCompiler::compile(spec::read_identity_spec(yaml));
}

class CustomerPlan : public ::testing::Test {
protected:
    void SetUp() override {
        yaml = read_example("customer.yaml");
        ASSERT_FALSE(yaml.empty());
        plan = compile_text(yaml);
        text = plan::to_json(plan);
    }
    std::string yaml;
    plan::IdentityPlan plan;
    std::string text;
};

TEST_F(CustomerPlan, WritesAllSixteenMembersInOrder) {
    static const char* kMembers[] = {
        "entity",   "plan_hash",  "identity_version",      "sources",   "blocking", "match_graph",
        "survivorship", "decision", "reference_identifiers", "relations", "exclusions",
        "compliance", "hierarchy", "audit",                "metadata",  "governance"};
    std::size_t at = 0;
    for (const char* member : kMembers) {
        std::string key = std::string("\"") + member + "\":";
        std::size_t found = text.find(key, at);
        ASSERT_NE(found, std::string::npos) << member;
        at = found + key.size();
    }
    EXPECT_EQ(text.rfind(R"({"entity":"customer","plan_hash":")", 0), 0u);
    EXPECT_EQ(plan.plan_hash.size(), 64u);
}

TEST_F(CustomerPlan, HashIsTheDigestOfThePlanWithAnEmptyHashAndIsReproducible) {
    plan::IdentityPlan again = compile_text(yaml);
    EXPECT_EQ(again.plan_hash, plan.plan_hash);
    EXPECT_EQ(plan::to_json(again), text);
    std::string stored = plan.plan_hash;
    plan.plan_hash.clear();
    EXPECT_EQ(plan.compute_hash(), stored);
}

TEST_F(CustomerPlan, CompiledSections) {
    // Rules: eleven from the spec, then the four Fellegi-Sunter fields, none of which
    // shares a name with a spec rule.
    const auto& rules = plan.match_graph.rules;
    ASSERT_EQ(rules.size(), 15u);
    EXPECT_EQ(rules[11].name, "email");
    EXPECT_EQ(rules[14].name, "postcode");
    EXPECT_EQ(plan.match_graph.leaf_count, 18u);
    EXPECT_EQ(plan.decision.scoring_method, plan::ScoringMethod::FellegiSunter);
    ASSERT_TRUE(plan.decision.fellegi_sunter);
    EXPECT_TRUE(plan.decision.fellegi_sunter->em_training);

    ASSERT_EQ(plan.sources.size(), 3u);
    EXPECT_EQ(plan.sources[0].freshness->max_age_seconds, 86400u);
    EXPECT_EQ(plan.sources[0].freshness->warn_after_seconds, 43200u);
    EXPECT_EQ(plan.sources[1].sampling->strategy, "timebased");
    EXPECT_EQ(plan.sources[1].freshness->max_age_seconds, 172800u);
    EXPECT_EQ(plan.sources[2].id_field, "member_number");

    EXPECT_NE(text.find(R"({"fields":["date_of_birth","first_name"],)"
                        R"("transformations":["normalize_name"]})"),
              std::string::npos);
    EXPECT_NE(text.find(R"("neighborhood_window":50)"), std::string::npos);
    EXPECT_NE(text.find(R"("aggregate_fn":"Union")"), std::string::npos);
    EXPECT_NE(text.find(R"({"type":"explicit_pair","left_id":"contact_id",)"
                        R"("right_id":"do_not_merge_with"})"),
              std::string::npos);
    EXPECT_NE(text.find(R"("convergence_threshold":0.0001)"), std::string::npos);
}

TEST_F(CustomerPlan, HashDoesNotDependOnTheOrderOfMapKeys) {
    // Swap two attribute lines: the map-valued fields are written in key order, so
    // the plan and its hash stay the same.
    std::string reordered = yaml;
    const std::string a = "      first_name: \"first_name\"\n";
    const std::string b = "      last_name: \"last_name\"\n";
    std::size_t at = reordered.find(a + b);
    ASSERT_NE(at, std::string::npos);
    reordered.replace(at, a.size() + b.size(), b + a);
    EXPECT_EQ(compile_text(reordered).plan_hash, plan.plan_hash);
}

}  // namespace
}  // namespace velatro::engine
