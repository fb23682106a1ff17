// The spec tooling on the comparison-level keys: checks, plan report and diff. Specs
// without these keys are covered by the other tooling tests and must not change.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document/tree.hpp"
#include "tooling/plan_report.hpp"
#include "tooling/semantic_check.hpp"
#include "tooling/spec_diff.hpp"

namespace vt = velatro::tooling;
using Strings = std::vector<std::string>;

namespace {

std::string spec(const std::string& field, const std::string& extra = "") {
    return "decision:\n  thresholds: {match: 1}\n  scoring:\n    strategy: fellegi_sunter\n" +
           extra + "    fields:\n" + field;
}

const std::string kTrained = R"(      - name: name
        comparator: jaro_winkler
        term_frequency: true
        levels:
          - {comparator: exact, m_probability: 0.8, u_probability: 0.01}
          - {comparator: jaro_winkler, threshold: 0.9, m_probability: 0.15, u_probability: 0.04}
          - {comparator: else, m_probability: 0.05, u_probability: 0.95}
)";

}  // namespace

TEST(LevelChecks, ReportEachProblemWithItsFieldAndLevel) {
    struct Case {
        std::string field;
        std::string extra;
        Strings expected;
    } cases[] = {
        {kTrained, "    prior: 0.001\n", {}},
        {"      - {name: n, comparator: exact, levels: [{comparator: else}, {comparator: fuzzy, "
         "threshold: 2, m_probability: 0, u_probability: 0.5}]}\n",
         "    prior: 1\n",
         {"Fellegi-Sunter prior must be a number between 0 and 1 (exclusive)",
          "Fellegi-Sunter field 'n' level 0: 'else' takes every remaining pair and must be the "
          "last "
          "level",
          "Fellegi-Sunter field 'n' level 1: comparator must be one of exact, jaro_winkler, "
          "levenshtein, soundex, metaphone, cosine, else",
          "Fellegi-Sunter field 'n' level 1: threshold 2 must be between 0 and 1",
          "Fellegi-Sunter field 'n' level 1: m_probability must be a number above 0 and at most 1",
          "Fellegi-Sunter field 'n' has levels without m_probability or u_probability (they weigh "
          "0); estimate them with velatro.train"}},
        {"      - {name: n, comparator: exact, m_probability: 0.9, u_probability: 0.1, "
         "term_frequency: yes please, levels: [{comparator: exact, m_probability: 0.7, "
         "u_probability: 0.6}, {comparator: else, m_probability: 0.4, u_probability: 0.4}]}\n",
         "",
         {"Fellegi-Sunter field 'n': term_frequency must be true or false",
          "Fellegi-Sunter field 'n': m_probability and u_probability are ignored when levels are "
          "given",
          "Fellegi-Sunter field 'n': the m_probability of its levels add up to 1.1, more than 1"}},
        {"      - {name: n, comparator: exact, levels: {exact: 1}}\n",
         "",
         {"Fellegi-Sunter field 'n': levels must be a list"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(vt::validate_semantics(velatro::document::read_tree(spec(c.field, c.extra))),
                  c.expected);
}

TEST(LevelPlanReport, DescribesLevelScoringAndFlagsUntrainedLevels) {
    auto plan = vt::generate_plan(spec(kTrained, "    prior: 0.001\n"));
    EXPECT_EQ(plan.execution_stages[4].description,
              "Sum Fellegi-Sunter match weights by comparison level: name (3 levels, term "
              "frequency); prior 0.001; apply thresholds");
    for (const auto& flag : plan.risk_flags) EXPECT_NE(flag.code, "UNTRAINED_LEVELS");

    auto untrained = vt::generate_plan(
        spec("      - {name: n, comparator: exact, levels: [{comparator: exact}]}\n"));
    EXPECT_EQ(untrained.risk_flags.back().code, "UNTRAINED_LEVELS");
    EXPECT_EQ(untrained.risk_flags.back().severity, "medium");
}

TEST(LevelDiff, ComparesLevelsByNameAndThePrior) {
    const std::string before = spec(kTrained, "    prior: 0.001\n");
    std::string after_field = kTrained;
    after_field.replace(after_field.find("m_probability: 0.8"), 18, "m_probability: 0.7");
    after_field.replace(after_field.find("threshold: 0.9"), 14, "threshold: 0.8");
    const auto diff = vt::compute_diff(before, spec(after_field, "    prior: 0.0002\n"));
    ASSERT_TRUE(diff.fs_changes);
    const auto& fs = *diff.fs_changes;
    EXPECT_EQ(fs.fields_added, Strings{"name[jaro_winkler >= 0.8]"});
    EXPECT_EQ(fs.fields_removed, Strings{"name[jaro_winkler >= 0.9]"});
    ASSERT_EQ(fs.m_probability_changes.size(), 1u);
    EXPECT_EQ(fs.m_probability_changes[0].field, "name[exact]");
    EXPECT_EQ(fs.m_probability_changes[0].impact, "decreases match likelihood");
    ASSERT_EQ(fs.threshold_changes.size(), 1u);
    EXPECT_EQ(fs.threshold_changes[0].path, "scoring.prior");
    EXPECT_EQ(fs.threshold_changes[0].new_value, "0.0002");
}
