#include <gtest/gtest.h>

#include <algorithm>
#include <exception>
#include <string>
#include <vector>

#include "document/digest.hpp"
#include "document/error.hpp"
#include "document/json_writer.hpp"
#include "document/tree.hpp"
#include "tooling/plan_document.hpp"
#include "tooling/plan_report.hpp"

namespace vd = velatro::document;
namespace vt = velatro::tooling;

namespace {

vd::Value compile(const std::string& yaml) {
    return vt::compile_to_ir(vd::read_tree(yaml));
}

std::string plan_hash(const std::string& yaml) {
    return compile(yaml).find("plan_hash")->as_string();
}

TEST(CompileToIr, EmptySpecHashesSevenNulls) {
    const vd::Value doc = compile("{}");
    const std::string seven =
        R"({"api_version":null,"blocking_strategy":null,"entity":null,"identity_version":null,)"
        R"("rule_count":null,"sources":null,"thresholds":null})";
    vd::Object expected;
    for (const char* key : {"api_version", "blocking_strategy", "entity", "identity_version",
                            "rule_count", "sources", "thresholds"})
        expected.emplace(key, nullptr);
    expected.emplace("plan_hash", "sha256:" + vd::sha256_hex(seven));
    EXPECT_EQ(doc, vd::Value(expected));
    // A root that is not an object gives the same document.
    EXPECT_EQ(compile("[1, 2]"), doc);
    EXPECT_EQ(plan_hash("{}").size(), 71u);
}

TEST(CompileToIr, CopiesAndCountsWhatTheDocumentCarries) {
    const vd::Value doc = compile(
        "api_version: velatro/v1\nidentity_version: 3\nentity: {name: customer}\n"
        "sources: [{name: crm, system: sf, id: x, attributes: {a: b}}, plain]\n"
        "rules: []\nblocking: {keys: [a]}\ndecision: {thresholds: {match: 1, review: 0.5}}\n"
        "metadata: {owner: me}\n");
    EXPECT_EQ(
        vd::to_json(doc.find("sources") ? *doc.find("sources") : vd::Value()),
        R"([{"name":"crm","system":"sf","table":null},{"name":null,"system":null,"table":null}])");
    EXPECT_EQ(*doc.find("rule_count"), vd::Value(0));
    EXPECT_EQ(*doc.find("identity_version"), vd::Value(3));
    EXPECT_TRUE(doc.find("blocking_strategy")->is_null());
    EXPECT_EQ(vd::to_json(*doc.find("thresholds")), R"({"match":1,"review":0.5})");
    EXPECT_EQ(doc.as_object().size(), 8u);
    EXPECT_TRUE(compile("rules: {a: 1}").find("rule_count")->is_null());
}

TEST(CompileToIr, HashCoversExactlyTheCopiedFacts) {
    const std::string base =
        "entity: {name: c}\nsources:\n  - {name: a, table: t1, id: x, attributes: {p: q}}\n"
        "  - {name: b, table: t2}\ndecision: {thresholds: {match: 1}}\n";
    const std::string hash = plan_hash(base);
    // Reordered mappings, flow style and keys the document does not carry keep it.
    EXPECT_EQ(plan_hash("decision:\n  thresholds:\n    match: 1\nsources: [{table: t1, name: a, "
                        "id: y, attributes: {}}, {table: t2, name: b}]\nentity: {name: c}\n"
                        "survivorship: {rules: []}\n"),
              hash);
    // Reordered sources, a changed table or a threshold written 1.0 change it.
    EXPECT_NE(plan_hash("entity: {name: c}\nsources: [{name: b, table: t2}, {name: a, table: "
                        "t1}]\ndecision: {thresholds: {match: 1}}\n"),
              hash);
    EXPECT_NE(plan_hash("entity: {name: c}\nsources: [{name: a, table: t9}, {name: b, table: "
                        "t2}]\ndecision: {thresholds: {match: 1}}\n"),
              hash);
    EXPECT_NE(plan_hash("entity: {name: c}\nsources: [{name: a, table: t1}, {name: b, table: "
                        "t2}]\ndecision: {thresholds: {match: 1.0}}\n"),
              hash);
}

// --- plan report -----------------------------------------------------------------

std::vector<std::string> codes(const vt::PlanResult& plan) {
    std::vector<std::string> out;
    for (const auto& flag : plan.risk_flags) out.push_back(flag.code);
    return out;
}

TEST(GeneratePlan, EmptySpecFallsBackToDefaults) {
    const vt::PlanResult plan = vt::generate_plan("{}");
    EXPECT_EQ(plan.entity, "unknown");
    EXPECT_EQ(plan.identity_version, "unknown");
    EXPECT_TRUE(plan.sources.empty());
    EXPECT_TRUE(plan.match_strategies.empty());
    EXPECT_TRUE(plan.survivorship_summary.empty());
    EXPECT_EQ(plan.blocking_analysis.strategy, "none");
    EXPECT_EQ(plan.blocking_analysis.estimated_reduction, "none");
    EXPECT_EQ(plan.blocking_analysis.warnings,
              std::vector<std::string>{"No blocking keys defined — O(n²) pairwise comparisons"});
    ASSERT_EQ(plan.execution_stages.size(), 8u);
    EXPECT_EQ(plan.execution_stages[0].description, "Ingest and normalize fields from: ");
    EXPECT_EQ(plan.execution_stages[1].description,
              "Blocking strategy: none. Keys: No blocking keys — full pairwise comparison");
    EXPECT_EQ(plan.execution_stages[2].description, "No exact match rules defined");
    EXPECT_EQ(plan.execution_stages[3].description, "No fuzzy match rules defined");
    EXPECT_EQ(codes(plan), (std::vector<std::string>{"NO_BLOCKING", "NO_SURVIVORSHIP",
                                                     "NO_REVIEW_THRESHOLD", "MISSING_TEMPORAL"}));
    EXPECT_EQ(plan.risk_flags[0].message,
              "No blocking keys defined — all pairs will be compared (O(n²))");
    EXPECT_EQ(plan.summary,
              "  Identity:     unknown (unknown)\n"
              "  Sources:      0 ()\n"
              "  Signals:      \n"
              "  Blocking:     none\n"
              "  Thresholds:   not configured\n"
              "  Stages:       8 execution stages\n"
              "  Survivorship: 0 fields configured\n"
              "  Risk flags:   1 critical, 0 high, 2 medium\n"
              "  Plan hash:    " +
                  plan.plan_hash.substr(0, 15) + "...");
    EXPECT_EQ(plan.plan_hash, vd::fingerprint(vd::read_tree("{}")));
}

TEST(GeneratePlan, DescribesAFullSpec) {
    const vt::PlanResult plan = vt::generate_plan(R"(
entity: {name: customer}
identity_version: v7
sources:
  - {name: crm, system: salesforce, attributes: {email: e, phone: p}}
  - {name: shop, attributes: [x]}
blocking:
  strategy: standard
  keys: [{field: email, transform: lowercase}, {name: phone_area}]
rules:
  - {name: email_exact, type: exact, field: email, weight: 1.0}
  - {name: name_fuzzy, type: similarity, field: first_name, algorithm: jaro_winkler, weight: 0.25}
  - {name: untyped, field: city}
survivorship:
  rules: [{field: email, strategy: source_priority, source_priority: [crm, 3, shop]}, {field: x}]
decision: {thresholds: {match: 0.9, review: 0.7}}
temporal: ~
)");
    ASSERT_EQ(plan.sources.size(), 2u);
    EXPECT_EQ(plan.sources[0].field_count, 2u);
    EXPECT_EQ(plan.sources[1].system, "unknown");
    EXPECT_EQ(plan.sources[1].field_count, 0u);
    EXPECT_EQ(plan.execution_stages[0].inputs, (std::vector<std::string>{"crm", "shop"}));
    EXPECT_EQ(plan.execution_stages[1].description,
              "Blocking strategy: standard. Keys: email (lowercase), phone_area (identity)");
    EXPECT_EQ(plan.execution_stages[2].description, "email_exact on email (w=1)");
    EXPECT_EQ(
        plan.execution_stages[3].description,
        "name_fuzzy on first_name via jaro_winkler (w=0.25), untyped on city via default (w=0)");
    EXPECT_EQ(plan.match_strategies[2].match_type, "unknown");
    EXPECT_EQ(plan.match_strategies[2].evaluation_order, 4u);
    EXPECT_EQ(plan.match_strategies[0].evaluation_order, 3u);
    EXPECT_EQ(plan.survivorship_summary[0].source_priority,
              (std::vector<std::string>{"crm", "shop"}));
    EXPECT_FALSE(plan.survivorship_summary[1].source_priority.has_value());
    EXPECT_EQ(plan.survivorship_summary[1].strategy, "unknown");
    EXPECT_EQ(plan.blocking_analysis.estimated_reduction, "medium");
    EXPECT_TRUE(codes(plan).empty());
    EXPECT_EQ(plan.summary,
              "  Identity:     customer (v7)\n"
              "  Sources:      2 (crm, shop)\n"
              "  Signals:      email (exact, w=1), first_name (similarity/jaro_winkler, w=0.25), "
              "city (unknown, w=0)\n"
              "  Blocking:     email, phone_area\n"
              "  Thresholds:   merge >= 0.9, review >= 0.7\n"
              "  Stages:       8 execution stages\n"
              "  Survivorship: 2 fields configured\n"
              "  Risk flags:   0 critical, 0 high, 0 medium\n"
              "  Plan hash:    " +
                  plan.plan_hash.substr(0, 15) + "...");
}

struct ReductionCase {
    const char* blocking;
    const char* reduction;
};

class BlockingReduction : public ::testing::TestWithParam<ReductionCase> {};

TEST_P(BlockingReduction, FollowsTheKeyCount) {
    const auto plan = vt::generate_plan(std::string("blocking: ") + GetParam().blocking);
    EXPECT_EQ(plan.blocking_analysis.estimated_reduction, GetParam().reduction);
}

INSTANTIATE_TEST_SUITE_P(Counts, BlockingReduction,
                         ::testing::Values(ReductionCase{"{strategy: composite}", "medium"},
                                           ReductionCase{"{keys: [a]}", "low"},
                                           ReductionCase{"{keys: [a, b]}", "medium"},
                                           ReductionCase{"{keys: [a, b, c]}", "medium"},
                                           ReductionCase{"{keys: [a, b, c, d]}", "high"},
                                           ReductionCase{"{keys: [a, b, c, d, e, f, g]}", "high"},
                                           ReductionCase{"{strategy: none, keys: {a: 1}}",
                                                         "none"}));

TEST(GeneratePlan, CompositeWithoutKeysIsNotUnblocked) {
    const auto plan = vt::generate_plan("blocking: {strategy: composite}");
    EXPECT_TRUE(plan.blocking_analysis.warnings.empty());
    EXPECT_EQ(codes(plan).front(), "NO_SURVIVORSHIP");
}

TEST(GeneratePlan, KeyGivenAsStringAndNonStringFieldFallBack) {
    const auto plan = vt::generate_plan("blocking: {keys: [email, {field: 3, name: n}]}");
    ASSERT_EQ(plan.blocking_analysis.keys.size(), 2u);
    EXPECT_EQ(plan.blocking_analysis.keys[0].name, "unknown");
    EXPECT_EQ(plan.blocking_analysis.keys[0].transformation, "identity");
    // A present non-string field does not fall through to name.
    EXPECT_EQ(plan.blocking_analysis.keys[1].name, "unknown");
}

TEST(GeneratePlan, RiskFlagsForFuzzyRules) {
    const auto plan = vt::generate_plan(R"(
rules:
  - {name: loose, type: similarity, field: phone, threshold: 0.75, weight: 0.95}
  - {name: half, type: similarity, field: x, threshold: 0.125, weight: 1}
  - {name: edge, type: similarity, field: y, threshold: 0.8, weight: 0.9}
  - {name: strict, type: exact, field: z, threshold: 0.1, weight: 0.99}
blocking: {keys: [{field: email}]}
survivorship: {rules: [{field: a, strategy: b}]}
decision: {thresholds: {review: ~}}
temporal: {}
sources: [{name: only}]
)");
    std::vector<std::string> messages;
    for (const auto& flag : plan.risk_flags) messages.push_back(flag.code + ": " + flag.message);
    EXPECT_EQ(messages,
              (std::vector<std::string>{
                  "LOW_THRESHOLD: Rule 'loose' has threshold 0.75 — risk of over-merging",
                  "LOW_THRESHOLD: Rule 'half' has threshold 0.12 — risk of over-merging",
                  "HIGH_WEIGHT_FUZZY: Fuzzy rule 'loose' has weight 0.95 — high trust in "
                  "approximate matching",
                  "HIGH_WEIGHT_FUZZY: Fuzzy rule 'half' has weight 1.00 — high trust in "
                  "approximate matching",
                  "PHONE_WITHOUT_BLOCKING: Phone match rule without phone-based blocking key — "
                  "phone reuse risk",
                  "SINGLE_SOURCE: Only one source — no cross-system identity resolution"}));
    EXPECT_EQ(plan.risk_flags[0].severity, "high");
    EXPECT_EQ(plan.risk_flags[2].severity, "medium");
    EXPECT_EQ(plan.risk_flags[5].recommendation,
              "Add additional sources for cross-system matching");
    // A null review suppresses the flag but shows no review part.
    EXPECT_NE(plan.summary.find("  Thresholds:   not configured\n"), std::string::npos);
    EXPECT_NE(plan.summary.find("  Risk flags:   0 critical, 3 high, 2 medium\n"),
              std::string::npos);
}

TEST(GeneratePlan, PhoneFlagIsCaseSensitiveAndClearedByAPhoneKey) {
    const auto has_phone_flag = [](const std::string& yaml) {
        const auto found = codes(vt::generate_plan(yaml));
        return std::find(found.begin(), found.end(), "PHONE_WITHOUT_BLOCKING") != found.end();
    };
    EXPECT_TRUE(has_phone_flag("rules: [{field: phone}]\nblocking: {keys: [{field: email}]}"));
    EXPECT_FALSE(has_phone_flag(
        "rules: [{field: phone}]\nblocking: {keys: [{field: email}, {field: phone_area}]}"));
    EXPECT_FALSE(has_phone_flag("rules: [{field: Phone}]\nblocking: {keys: [{field: email}]}"));
}

TEST(GeneratePlan, SingleRuleAndThresholdTexts) {
    const auto plan = vt::generate_plan(
        "rules: [{name: r, type: exact}]\n"
        "decision: {thresholds: {match: 1, review: x}}");
    EXPECT_EQ(codes(plan)[1], "SINGLE_SIGNAL");
    EXPECT_NE(plan.summary.find("  Thresholds:   merge >= 1\n"), std::string::npos);
}

TEST(GeneratePlan, UnreadableYamlHasItsOwnMessageWithTheReaderErrorAsCause) {
    try {
        vt::generate_plan("a: [1,");
        FAIL() << "expected a failure";
    } catch (const velatro::Error& e) {
        EXPECT_STREQ(e.what(), "Failed to parse YAML for plan generation");
        const auto* nested = dynamic_cast<const std::nested_exception*>(&e);
        ASSERT_NE(nested, nullptr);
        EXPECT_THROW(nested->rethrow_nested(), vd::ReadError);
    }
}

TEST(GeneratePlan, TreeFormSortsKeysAndWritesUnsetOptionalsAsNull) {
    const vd::Value tree = vt::to_value(vt::generate_plan("rules: [{name: r}]"));
    const vd::Value& rule = tree.find("match_strategies")->as_array().at(0);
    EXPECT_TRUE(rule.find("algorithm")->is_null());
    EXPECT_TRUE(rule.find("threshold")->is_null());
    EXPECT_EQ(*rule.find("weight"), vd::Value(0.0));
    EXPECT_EQ(*rule.find("evaluation_order"), vd::Value(4));
    std::vector<std::string> keys;
    for (const auto& member : tree.as_object()) keys.push_back(member.first);
    EXPECT_EQ(keys, (std::vector<std::string>{"blocking_analysis", "entity", "execution_stages",
                                              "identity_version", "match_strategies", "plan_hash",
                                              "risk_flags", "sources", "summary",
                                              "survivorship_summary"}));
}

}  // namespace
