// Comparison levels for Fellegi-Sunter fields: reading, the plan, scoring, the null level,
// term frequencies and the score distribution.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engine/compiler.hpp"
#include "engine/model/score_histogram.hpp"
#include "engine/model/term_frequencies.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run/collecting_sink.hpp"
#include "plan/plan_json.hpp"
#include "spec/reader.hpp"

using namespace velatro::engine;
namespace plan = velatro::plan;
namespace sp = velatro::spec;

namespace {

const char* kHeader = R"(
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources: {crm: {adapter: csv}}
blocking: {keys: [[city]]}
)";

std::string scoring(const std::string& fields, const std::string& extra = "") {
    return "decision:\n  thresholds: {match: 0.9}\n  scoring:\n    strategy: fellegi_sunter\n"
           "    thresholds: {match: 3, possible: 0, non_match: -5}\n" +
           extra + "    fields:\n" + fields;
}

// Name: exact, Jaro-Winkler >= 0.9, else; email: no levels of its own.
const std::string kLevels = R"(      - name: name
        comparator: jaro_winkler
        levels:
          - {comparator: exact, m_probability: 0.8, u_probability: 0.01}
          - {comparator: jaro_winkler, threshold: 0.9, m_probability: 0.15, u_probability: 0.04}
          - {comparator: else, m_probability: 0.05, u_probability: 0.95}
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.001}
)";

sp::IdentitySpec read(const std::string& body) {
    return sp::read_identity_spec(std::string(kHeader) + body);
}

plan::IdentityPlan compile(const std::string& body) {
    return SpecCompiler::compile(read(body));
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
    e.external_id = "ext-" + std::to_string(n);
    e.data = FieldMap(std::move(data));
    e.last_updated = UtcDateTime::from_civil(2024, 1, 1, 0, 0, 0);
    return e;
}

}  // namespace

TEST(LevelReading, LevelKeysAreReadAndMakeTheFieldsOwnProbabilitiesOptional) {
    auto spec = read(scoring(kLevels, "    prior: 0.001\n"));
    const auto& fields = *spec.decision.scoring->fields;
    ASSERT_TRUE(fields[0].levels);
    EXPECT_EQ(fields[0].levels->size(), 3u);
    EXPECT_EQ((*fields[0].levels)[1].comparator, sp::FsLevelComparator::JaroWinkler);
    EXPECT_EQ((*fields[0].levels)[1].threshold, 0.9);
    EXPECT_FALSE(fields[1].levels);
    EXPECT_EQ(spec.decision.scoring->prior, 0.001);
}

TEST(LevelReading, AFailingLevelFieldFailsTheScoringMapping) {
    // Without levels the field's m and u stay required, term frequencies or not; a
    // level needs its comparator.
    EXPECT_THROW(read(scoring("      - {name: e, comparator: exact, term_frequency: true, "
                              "m_probability: 0.9}\n")),
                 velatro::document::ReadError);
    EXPECT_THROW(read(scoring("      - {name: e, comparator: exact, levels: [{threshold: 1}]}\n")),
                 velatro::document::ReadError);
    EXPECT_NO_THROW(read(scoring("      - {name: e, comparator: exact, levels: []}\n")));
}

TEST(LevelPlan, PlansWithoutLevelsWriteNoLevelMembers) {
    const std::string text = plan::to_json(
        compile(scoring("      - {name: email, comparator: exact, m_probability: 0.9, "
                        "u_probability: 0.001}\n")));
    EXPECT_EQ(text.find("levels"), std::string::npos);
    EXPECT_EQ(text.find("prior"), std::string::npos);
    EXPECT_EQ(text.find("term_frequency"), std::string::npos);
}

TEST(LevelPlan, EveryFieldGetsLevelsEndingWithElseAndLog2Weights) {
    auto p = compile(scoring(kLevels));
    const auto& fs = *p.decision.fellegi_sunter;
    EXPECT_EQ(fs.prior, 0.5);  // no prior: even odds
    const auto& name = *fs.fields[0].levels;
    ASSERT_EQ(name.size(), 3u);
    EXPECT_EQ(name[0].name, "exact");
    EXPECT_EQ(name[1].name, "jaro_winkler >= 0.9");
    EXPECT_DOUBLE_EQ(name[0].weight, std::log2(0.8 / 0.01));
    // A field without levels: its comparator scoring 1, then else with what is left.
    const auto& email = *fs.fields[1].levels;
    ASSERT_EQ(email.size(), 2u);
    EXPECT_EQ(email[0].comparator, plan::FsLevelComparator::Exact);
    EXPECT_EQ(email[1].name, "else");
    EXPECT_DOUBLE_EQ(*email[1].m_probability, 1.0 - 0.9);
    EXPECT_DOUBLE_EQ(*email[1].u_probability, 1.0 - 0.001);
    const std::string text = plan::to_json(p);
    EXPECT_NE(text.find(R"("levels":[{"name":"exact","comparator":"exact","threshold":1.0,)"
                        R"("m_probability":0.8,"u_probability":0.01,"weight":)"),
              std::string::npos);
    EXPECT_NE(text.find(R"("prior":0.5})"), std::string::npos);

    // Levels without probabilities (a spec written for training) weigh nothing.
    auto untrained =
        compile(scoring("      - {name: e, comparator: exact, levels: "
                        "[{comparator: exact}]}\n"));
    for (const auto& level : *untrained.decision.fellegi_sunter->fields[0].levels)
        EXPECT_EQ(level.weight, 0.0);
}

TEST(LevelScoring, ScoreIsPriorPlusLevelWeightsAndPosteriorIsTheModels) {
    auto engine = ReconciliationEngine::from_plan(compile(scoring(kLevels, "    prior: 0.01\n")));
    const double prior = std::log2(0.01 / 0.99);
    auto a = entity(1, {{"name", "martha"}, {"email", "m@x"}});
    struct Case {
        const char* name;
        const char* email;
        double expected;
    } cases[] = {
        {"martha", "m@x", prior + std::log2(0.8 / 0.01) + std::log2(0.9 / 0.001)},
        {"marhta", "m@x", prior + std::log2(0.15 / 0.04) + std::log2(0.9 / 0.001)},
        // A raw similarity no longer interpolates: an unrelated name is plain disagreement.
        {"zoe", "m@x", prior + std::log2(0.05 / 0.95) + std::log2(0.9 / 0.001)},
        {"martha", "o@x", prior + std::log2(0.8 / 0.01) + std::log2(0.1 / 0.999)},
    };
    for (const auto& c : cases) {
        auto b = entity(2, {{"name", c.name}, {"email", c.email}});
        MatchDecision d = engine.evaluate_pair(a, b, {}, 1.0);
        EXPECT_NEAR(d.confidence, c.expected, 1e-12) << c.name;
        ASSERT_TRUE(d.posterior_probability);
        EXPECT_NEAR(*d.posterior_probability, 1.0 / (1.0 + std::exp2(-c.expected)), 1e-12);
    }
}

TEST(LevelScoring, AMissingValueIsNeutral) {
    auto engine = ReconciliationEngine::from_plan(compile(scoring(kLevels)));
    auto a = entity(1, {{"name", "martha"}, {"email", "m@x"}});
    const double email = std::log2(0.9 / 0.001);
    // Absent, empty and blank values all leave the field out of the score.
    for (auto b : {entity(2, {{"email", "m@x"}}), entity(2, {{"name", ""}, {"email", "m@x"}}),
                   entity(2, {{"name", "  "}, {"email", "m@x"}})})
        EXPECT_NEAR(engine.evaluate_pair(a, b, {}, 1.0).confidence, email, 1e-12);
    auto w = engine.waterfall(a, entity(2, {{"email", "m@x"}}), nullptr);
    EXPECT_EQ(w.fields[0].level, kNullLevel);
    EXPECT_EQ(w.fields[0].weight, 0.0);
    EXPECT_EQ(w.fields[1].level, 0);
}

TEST(LevelScoring, TermFrequenciesWeighACommonValueBelowARareOne) {
    auto p = compile(scoring(R"(      - name: surname
        comparator: exact
        term_frequency: true
        levels:
          - {comparator: exact, m_probability: 0.9, u_probability: 0.05}
          - {comparator: else, m_probability: 0.1, u_probability: 0.95}
)"));
    auto engine = ReconciliationEngine::from_plan(p);
    std::vector<NormalizedEntity> records;
    for (int i = 0; i < 8; ++i)
        records.push_back(entity(i, {{"surname", "smith"}, {"city", "c" + std::to_string(i)}}));
    records.push_back(entity(20, {{"surname", "quist"}, {"city", "x"}}));
    records.push_back(entity(21, {{"surname", "quist"}, {"city", "x"}}));
    records.push_back(entity(22, {{"surname", "smith"}, {"city", "x"}}));
    records.push_back(entity(23, {{"surname", "smith"}, {"city", "x"}}));
    auto tf = TermFrequencies::count(*engine.level_model(), records);
    EXPECT_EQ(tf.occurrences(0, "smith"), 10u);
    EXPECT_DOUBLE_EQ(*tf.frequency(0, "quist"), 2.0 / 12);

    auto common = engine.waterfall(records[10], records[11], &tf);  // two Smiths
    auto rare = engine.waterfall(records[8], records[9], &tf);      // two Quists
    EXPECT_NEAR(common.fields[0].weight, std::log2(0.9 / (10.0 / 12)), 1e-12);
    EXPECT_NEAR(rare.fields[0].weight, std::log2(0.9 / (2.0 / 12)), 1e-12);
    EXPECT_NEAR(rare.fields[0].tf_adjustment, rare.fields[0].weight - std::log2(0.9 / 0.05), 1e-12);

    // The run counts frequencies itself: the rare pair outscores the common one.
    auto run = reconcile_collected(engine, p.survivorship, records, {});
    ASSERT_TRUE(run.telemetry.score_distribution);
    EXPECT_TRUE(run.telemetry.score_distribution->calibrated);
    std::uint64_t pairs = 0;
    for (const auto& bin : run.telemetry.score_distribution->bins) pairs += bin.pairs();
    EXPECT_EQ(pairs, 6u);  // every pair of block "x", merged or not
}

TEST(ScoreDistribution, BinsMergeAndSuggestAThresholdUnderTheModel) {
    ScoreHistogram h1, h2;
    // Three matches far above, three non-matches far below.
    for (int i = 0; i < 3; ++i) h1.record(ScoreScale::MatchWeight, 10.0, 0.999, Decision::Merge);
    for (int i = 0; i < 3; ++i) h2.record(ScoreScale::MatchWeight, -10.0, 0.001, Decision::NoMerge);
    h2.record(ScoreScale::MatchWeight, 100.0, 1.0, Decision::Merge);  // the open bin above
    h1.merge(h2);
    auto d = h1.distribution();
    ASSERT_GE(d.bins.size(), 3u);
    EXPECT_EQ(d.bins.front().lower, -10.0);
    EXPECT_EQ(d.bins.front().no_merge, 3u);
    EXPECT_TRUE(std::isinf(d.bins.back().upper));
    auto choice = suggest_threshold(d);
    ASSERT_TRUE(choice);
    EXPECT_GT(choice->threshold, -10.0);
    EXPECT_LE(choice->threshold, 10.0);
    EXPECT_NEAR(choice->precision, 3.997 / 4.0, 1e-6);
    EXPECT_NEAR(choice->recall, 3.997 / 4.0, 1e-6);

    ScoreHistogram uncalibrated;
    uncalibrated.record(ScoreScale::Probability, 1.0, std::nullopt, Decision::Merge);
    EXPECT_EQ(uncalibrated.distribution().bins.back().upper, 1.0);  // 1.0 stays in range
    EXPECT_FALSE(suggest_threshold(uncalibrated.distribution()));
}
