// Pair evaluation, exclusions, temporal validity, the run and clustering.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <random>
#include <string>

#include "document/json_writer.hpp"
#include "engine/compiler.hpp"
#include "engine/log.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run/collecting_sink.hpp"
#include "spec/reader.hpp"

using namespace velatro::engine;
namespace plan = velatro::plan;

namespace {

const char* kHeader = R"(
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources: {crm: {adapter: csv}}
)";

plan::IdentityPlan compile(const std::string& body) {
    return SpecCompiler::compile(velatro::spec::read_identity_spec(std::string(kHeader) + body));
}

Uuid id(int n) {
    Uuid u;
    u.bytes[15] = static_cast<std::uint8_t>(n);
    u.bytes[14] = static_cast<std::uint8_t>(n >> 8);
    return u;
}

NormalizedEntity entity(int n, std::vector<FieldMap::Entry> data) {
    NormalizedEntity e;
    e.id = id(n);
    e.tenant_id = id(1000);
    e.external_id = std::to_string(n).insert(0, "ext-");
    e.entity_type = "person";
    e.data = FieldMap(std::move(data));
    e.source_name = "crm";
    e.last_updated = UtcDateTime::from_civil(2024, 1, 1 + n % 28, 0, 0, 0);
    return e;
}

const std::string kTwoRules = R"(
rules:
  - {name: email, type: exact, field: email, weight: 2.0}
  - {name: name, type: similarity, field: name, algorithm: levenshtein, threshold: 0.8, weight: 1.0}
)";

}  // namespace

TEST(EvaluatePair, WeightedSumThresholdsAndMatchedOn) {
    auto engine = ReconciliationEngine::from_plan(
        compile(kTwoRules + "decision: {thresholds: {match: 0.9, review: 0.6}}\n"));
    auto a = entity(1, {{"email", "a@x"}, {"name", "abcd"}});
    auto b = entity(2, {{"email", "a@x"}, {"name", "abcx"}});
    auto c = entity(3, {{"email", "b@x"}, {"name", "abcd"}});
    MatchDecision d = engine.evaluate_pair(a, b, {}, 1.0);
    // (2*1 + 1*0.75) / 3
    EXPECT_DOUBLE_EQ(d.confidence, 2.75 / 3);
    EXPECT_EQ(d.decision, Decision::Merge);
    EXPECT_EQ(d.matched_on, std::vector<std::string>{"email"});
    EXPECT_FALSE(d.posterior_probability);
    EXPECT_EQ(engine.evaluate_pair(a, c, {}, 1.0).decision, Decision::NoMerge);  // 1/3
    // The temporal factor scales a weighted score.
    EXPECT_EQ(engine.evaluate_pair(a, b, {}, 0.0).confidence, 0.0);
}

TEST(EvaluatePair, ScoreExactlyAtThresholdMergesAndMissingReviewMeansNoBand) {
    auto engine = ReconciliationEngine::from_plan(compile(
        "rules: [{name: e, type: exact, field: email}]\ndecision: {thresholds: {match: 1.0}}\n"));
    auto a = entity(1, {{"email", "x"}});
    EXPECT_EQ(engine.evaluate_pair(a, entity(2, {{"email", "x"}}), {}, 1.0).decision,
              Decision::Merge);
    EXPECT_EQ(engine.evaluate_pair(a, entity(2, {{"email", "y"}}), {}, 1.0).decision,
              Decision::NoMerge);
    auto none = ReconciliationEngine::from_plan(compile("decision: {thresholds: {match: 0.0}}\n"));
    MatchDecision d = none.evaluate_pair(a, a, {}, 1.0);
    EXPECT_EQ(d.confidence, 0.0);
    EXPECT_EQ(d.decision, Decision::Merge);  // no rules: 0.0 >= 0.0
}

TEST(EvaluatePair, ExclusionsOverridesAndReferenceIdentifiers) {
    auto engine = ReconciliationEngine::from_plan(compile(kTwoRules + R"(
reference_identifiers:
  - {name: tax, type: external, field: tax_id}
exclusions:
  - {type: explicit_pair, source: crm, left_id_field: ext-2, right_id_field: ext-1}
  - {type: cross_tenant, enabled: true}
decision: {thresholds: {match: 0.9}}
)"));
    auto a = entity(1, {{"tax_id", "T1"}});
    auto b = entity(2, {{"tax_id", "T1"}});
    auto c = entity(3, {{"tax_id", "T1"}});
    MatchDecision excluded = engine.evaluate_pair(a, b, {}, 1.0);
    EXPECT_EQ(excluded.matched_on, std::vector<std::string>{"EXCLUDED"});
    EXPECT_EQ(excluded.decision, Decision::NoMerge);
    EXPECT_TRUE(excluded.rule_results.empty());
    MatchDecision ref = engine.evaluate_pair(a, c, {}, 1.0);
    EXPECT_EQ(ref.matched_on, std::vector<std::string>{"REF_ID:tax"});
    EXPECT_EQ(ref.posterior_probability, 1.0);
    EXPECT_EQ(ref.temporal_adjustment, 1.0);
    // Empty identifiers decide nothing.
    auto e1 = entity(4, {{"tax_id", ""}}), e2 = entity(5, {{"tax_id", ""}});
    EXPECT_TRUE(engine.evaluate_pair(e1, e2, {}, 1.0).matched_on.empty());
    auto other_tenant = entity(3, {{"tax_id", "T1"}});
    other_tenant.tenant_id = id(7);
    EXPECT_EQ(engine.evaluate_pair(a, other_tenant, {}, 1.0).matched_on[0], "EXCLUDED");

    OverrideResolver overrides(
        {{OverrideKind::Merge, id(3), id(1)}, {OverrideKind::Lock, id(1), id(3)}});
    EXPECT_EQ(engine.evaluate_pair(a, c, overrides, 1.0).matched_on[0], "MANUAL_LOCK");
}

TEST(EvaluatePair, FellegiSunterScoresAndRewritesExplanations) {
    auto engine = ReconciliationEngine::from_plan(compile(R"(
rules:
  - {name: email, type: exact, field: email}
decision:
  thresholds: {match: 0.9}
  scoring:
    method: fellegi_sunter
    strategy: fellegi_sunter
    fields:
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}
      - {name: phone, comparator: exact, m_probability: 0.9, u_probability: 0.1}
    thresholds: {match: 1.0, possible: -1.0, non_match: -3.0}
governance: {log_probabilities: true}
)"));
    auto a = entity(1, {{"email", "x"}});
    auto b = entity(2, {{"email", "x"}});
    MatchDecision d = engine.evaluate_pair(a, b, {}, 0.0);
    // email agrees (ln 9); phone gets a generated rule that finds no values and disagrees
    // (-ln 9). The temporal factor does not apply.
    const double w = std::log(0.9 / 0.1);
    EXPECT_DOUBLE_EQ(d.confidence, w + -w);
    EXPECT_EQ(d.decision, Decision::Review);
    ASSERT_TRUE(d.posterior_probability);
    EXPECT_DOUBLE_EQ(*d.posterior_probability, 0.5);
    EXPECT_EQ(d.rule_results[0].explanation,
              "email: score=1.00, w=2.20 (agree=2.20, disagree=-2.20)");
}

TEST(EvaluatePair, FallbacksLogAndCustomExpressionsClamp) {
    LogCapture capture;
    auto custom = ReconciliationEngine::from_plan(compile(kTwoRules + R"(
decision:
  thresholds: {match: 0.5}
  scoring: {method: custom, expression: "email * 3 - name"}
)"));
    auto a = entity(1, {{"email", "a"}, {"name", "abcd"}});
    auto b = entity(2, {{"email", "a"}, {"name", "abcd"}});
    EXPECT_EQ(custom.evaluate_pair(a, b, {}, 1.0).confidence, 1.0);  // 2 clamped to 1
    EXPECT_EQ(custom.evaluate_pair(a, b, {}, 0.0).confidence, 0.0);

    auto ml = ReconciliationEngine::from_plan(
        compile(kTwoRules + "decision: {thresholds: {match: 0.5}, scoring: ml_ensemble}\n"));
    EXPECT_DOUBLE_EQ(ml.evaluate_pair(a, b, {}, 1.0).confidence, 1.0);  // weighted fallback
    bool warned = false;
    for (const auto& e : capture.entries())
        warned |= e.message ==
                  "ML ensemble scoring selected but no ml_ensemble config provided, falling back "
                  "to weighted sum";
    EXPECT_TRUE(warned);
}

TEST(MatchesExclusion, OperatorsOnPresentAndMissingValues) {
    auto excl = [](const char* op, velatro::document::Value v) {
        return plan::CompiledExclusion(plan::CompiledFieldValueExclusion{"f", op, std::move(v)});
    };
    auto with = entity(1, {{"f", "abc"}});
    auto empty = entity(2, {{"f", ""}});
    auto without = entity(3, {});
    EXPECT_TRUE(ReconciliationEngine::matches_exclusion(with, excl("eq", "abc")));
    EXPECT_TRUE(ReconciliationEngine::matches_exclusion(with, excl("!=", "x")));
    EXPECT_FALSE(ReconciliationEngine::matches_exclusion(without, excl("ne", "x")));
    EXPECT_TRUE(ReconciliationEngine::matches_exclusion(with, excl("contains", "")));
    EXPECT_FALSE(ReconciliationEngine::matches_exclusion(with, excl("eq", 1)));
    EXPECT_TRUE(ReconciliationEngine::matches_exclusion(without, excl("is_empty", nullptr)));
    EXPECT_TRUE(ReconciliationEngine::matches_exclusion(empty, excl("is_empty", nullptr)));
    EXPECT_FALSE(ReconciliationEngine::matches_exclusion(with, excl("in", "abc")));
}

TEST(TemporalMatcher, Strategies) {
    const auto t = UtcDateTime::from_civil(2024, 6, 1, 0, 0, 0);
    const auto before = UtcDateTime::from_civil(2024, 1, 1, 0, 0, 0);
    const auto after = UtcDateTime::from_civil(2025, 1, 1, 0, 0, 0);
    auto open = entity(1, {});
    auto ended = entity(2, {});
    ended.valid_to = before;
    auto future = entity(3, {});
    future.valid_from = after;
    TemporalMatcher latest(plan::TemporalStrategy::LatestOnly);
    EXPECT_EQ(latest.evaluate(open, ended, t).outcome, TemporalOutcome::Invalid);
    EXPECT_EQ(latest.evaluate(open, future, t).outcome, TemporalOutcome::Valid);
    TemporalMatcher pit(plan::TemporalStrategy::PointInTime);
    EXPECT_EQ(pit.evaluate(open, future, t).outcome, TemporalOutcome::Invalid);
    TemporalMatcher bi(plan::TemporalStrategy::BiTemporal);
    TemporalResult r = bi.evaluate(ended, future, t);
    EXPECT_EQ(r.outcome, TemporalOutcome::NoOverlap);
    EXPECT_EQ(r.factor, 0.0);
    auto touching = entity(4, {});
    touching.valid_from = before;  // bounds are inclusive
    EXPECT_EQ(bi.evaluate(ended, touching, t).outcome, TemporalOutcome::Valid);
}

namespace {

CollectedRun run(const plan::IdentityPlan& p, const std::vector<NormalizedEntity>& entities,
                 RunOptions options = {}) {
    return reconcile_collected(ReconciliationEngine::from_plan(p), p.survivorship, entities, {},
                               options);
}

std::string run_text(const CollectedRun& r) {
    std::string out;
    for (const auto& d : r.decisions) velatro::document::append_json(out, to_value(d));
    velatro::document::append_json(out, to_value(r.telemetry));
    for (const auto& g : r.golden_records)
        velatro::document::append_json(out, golden_record_to_value(g));
    for (const auto& cluster : r.clustering.clusters) {
        for (const auto& u : cluster) out += u.to_string();
        out += ';';
    }
    return out;
}

}  // namespace

TEST(Run, SameResultWithOneOrManyThreads) {
    const auto p = compile(R"(
blocking: {keys: [[zip], [email]]}
rules:
  - {name: email, type: exact, field: email}
  - {name: name, type: similarity, field: name, algorithm: jaro_winkler, threshold: 0.9}
  - {name: city, type: similarity, field: city, algorithm: cosine, threshold: 0.5}
decision: {thresholds: {match: 0.7, review: 0.4}, tie_breaking: [earliest_timestamp]}
)");
    std::mt19937 rng(7);
    std::vector<NormalizedEntity> entities;
    const char* names[] = {"anna", "anne", "ann", "hannah", "bob", "rob", "robert", "bobby"};
    for (int i = 0; i < 400; ++i) {
        entities.push_back(entity(i, {{"zip", std::to_string(rng() % 5).insert(0, 1, 'Z')},
                                      {"email", std::to_string(rng() % 60).insert(0, 1, 'e')},
                                      {"name", names[rng() % 8]},
                                      {"city", rng() % 2 ? "leeds" : "leicester"}}));
    }
    // Allow more workers than this machine has cores, so the split really differs.
    tbb::global_control workers(tbb::global_control::max_allowed_parallelism, 8);
    auto one = run(p, entities, RunOptions{1});
    auto many = run(p, entities, RunOptions{8});
    EXPECT_FALSE(one.decisions.empty());
    EXPECT_EQ(run_text(one), run_text(many));
    // Kept decisions only, one per pair, sorted by confidence.
    for (std::size_t i = 0; i < one.decisions.size(); ++i) {
        EXPECT_NE(one.decisions[i].decision, Decision::NoMerge);
        if (i > 0) {
            EXPECT_GE(one.decisions[i - 1].confidence, one.decisions[i].confidence);
        }
    }
}

TEST(Run, BlocksDedupeSelfPairsExclusionsAndClusters) {
    const auto p = compile(R"(
blocking: {keys: [[a], [b], [c]]}
rules: [{name: email, type: exact, field: email}]
exclusions: [{type: field_value, field: email, operator: eq, value: skip}]
decision: {thresholds: {match: 0.9}}
)");
    std::vector<NormalizedEntity> entities{
        entity(1, {{"a", "k"}, {"b", "k"}, {"email", "x"}}),
        entity(2, {{"a", "k"}, {"b", "k"}, {"email", "x"}}),
        entity(3, {{"a", "k"}, {"email", "skip"}}),
        entity(4, {{"b", "q"}, {"c", "q"}, {"email", "y"}}),  // keys repeat: paired with itself
        entity(5, {{"c", "z"}, {"email", "z"}}),
    };
    CollectedRun r = run(p, entities);
    // Records 1 and 2 put "k" twice into one block: [1, 1, 2, 2] gives six pairs, three of
    // them distinct; record 4 meets itself under "q". Equal confidences fall back to the
    // smaller id, then the id pair.
    std::vector<std::pair<int, int>> expected{{1, 1}, {1, 2}, {2, 2}, {4, 4}};
    ASSERT_EQ(r.decisions.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(r.decisions[i].entity_a_id, id(expected[i].first));
        EXPECT_EQ(r.decisions[i].entity_b_id, id(expected[i].second));
    }
    EXPECT_EQ(r.decisions[1].blocking_key, "k");
    EXPECT_EQ(r.telemetry.blocking_groups, 3u);  // k, q, z: the excluded record made none
    EXPECT_EQ(r.telemetry.pairs_evaluated, 7u);

    const Clustering& c = r.clustering;
    ASSERT_EQ(c.clusters.size(), 4u);
    EXPECT_EQ(c.clusters[0], (Cluster{id(1), id(2)}));
    EXPECT_EQ(c.clusters[1], (Cluster{id(3)}));
    EXPECT_EQ(c.members[0], (std::vector<std::size_t>{0, 1}));
}

TEST(Run, SortedNeighbourhoodPassPairsNearbyRecordsOnce) {
    // Compiled plans never carry sort fields; the pass is reached with a plan set by hand.
    plan::IdentityPlan p = compile(R"(
blocking: {keys: [[zip]]}
rules: [{name: email, type: exact, field: email}]
decision: {thresholds: {match: 0.9}}
)");
    p.blocking.neighborhood_window = 2;
    p.blocking.sort_fields = {"name"};
    std::vector<NormalizedEntity> entities{
        entity(1, {{"name", "Bea"}, {"email", "x"}, {"zip", "1"}}),
        entity(2, {{"name", "ann"}, {"email", "x"}, {"zip", "1"}}),  // also blocked with 1
        entity(3, {{"name", "ANN"}, {"email", "y"}}),
        entity(4, {{"name", "bea"}, {"email", "x"}}),
    };
    // Sort keys: "ann:"(2) "ann:"(3) "bea:"(1) "bea:"(4): windows of two give 2-3, 3-1, 1-4.
    CollectedRun r = run(p, entities);
    ASSERT_EQ(r.decisions.size(), 2u);
    EXPECT_EQ(r.decisions[0].blocking_key, "1");  // 1-2 from its block
    EXPECT_EQ(r.decisions[1].entity_a_id, id(1));
    EXPECT_EQ(r.decisions[1].entity_b_id, id(4));
    EXPECT_EQ(r.decisions[1].blocking_key, "SORTED_NEIGHBORHOOD");
    EXPECT_EQ(r.telemetry.pairs_evaluated, 4u);  // 1-2 in the block, then 2-3, 3-1, 1-4
}
