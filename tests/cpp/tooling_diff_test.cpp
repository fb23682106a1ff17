#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "document/error.hpp"
#include "document/json_writer.hpp"
#include "document/tree.hpp"
#include "tooling/spec_diff.hpp"

namespace vd = velatro::document;
namespace vt = velatro::tooling;

namespace {

using Strings = std::vector<std::string>;

std::vector<std::string> texts(const std::vector<vt::FieldChange>& changes) {
    std::vector<std::string> out;
    for (const auto& c : changes) out.push_back(c.path + ": " + c.old_value + " -> " + c.new_value);
    return out;
}

std::vector<std::string> texts(const std::vector<vt::NamedChange>& changes) {
    std::vector<std::string> out;
    for (const auto& c : changes)
        out.push_back(c.name + "." + c.field + ": " + c.old_value + " -> " + c.new_value);
    return out;
}

TEST(FormatValue, ShowsAbsenceNullStringsAndCompactJson) {
    EXPECT_EQ(vt::format_value(nullptr), "<absent>");
    const vd::Value tree =
        vd::read_tree("{n: ~, s: 'a b', f: 1.0, i: 1, l: [1, {b: 2, a: x}], t: true}");
    EXPECT_EQ(vt::format_value(tree.find("n")), "null");
    EXPECT_EQ(vt::format_value(tree.find("s")), "a b");
    EXPECT_EQ(vt::format_value(tree.find("f")), "1.0");
    EXPECT_EQ(vt::format_value(tree.find("i")), "1");
    EXPECT_EQ(vt::format_value(tree.find("l")), R"([1,{"a":"x","b":2}])");
    EXPECT_EQ(vt::format_value(tree.find("t")), "true");
}

TEST(MergedObjectKeys, UnionInByteOrderIgnoringNonObjects) {
    const vd::Value a = vd::read_tree("{b: 1, a: 2}");
    const vd::Value b = vd::read_tree("{c: 1, a: 3, B: 0}");
    EXPECT_EQ(vt::merged_object_keys(a, b), (Strings{"B", "a", "b", "c"}));
    EXPECT_EQ(vt::merged_object_keys(a, vd::Value("x")), (Strings{"a", "b"}));
}

TEST(CollectValueChanges, EntersObjectsButNotArrays) {
    const vd::Value a = vd::read_tree("{x: {y: 1, z: [1, 2]}, gone: 1}");
    const vd::Value b = vd::read_tree("{x: {y: 1.0, z: [1, 3]}, new: ~, same: 0}");
    const vd::Value same_a = vd::read_tree("{same: 0}");
    std::vector<vt::FieldChange> out;
    vt::collect_value_changes("root", a, b, out);
    EXPECT_EQ(texts(out), (Strings{"root.gone: 1 -> <absent>", "root.new: <absent> -> null",
                                   "root.same: <absent> -> 0", "root.x.y: 1 -> 1.0",
                                   "root.x.z: [1,2] -> [1,3]"}));
    out.clear();
    vt::collect_value_changes("k", vd::Value("s"), vd::read_tree("{a: 1}"), out);
    EXPECT_EQ(texts(out), (Strings{R"(k: s -> {"a":1})"}));
}

TEST(ComputeDiff, FormattingOnlyChangesNothing) {
    const auto diff =
        vt::compute_diff("# old\nidentity_version: '1'\nrules: [{name: r, weight: 0.5}]\n",
                         "rules:\n  - weight: 0.50\n    name: r\nidentity_version: \"1\"\n");
    EXPECT_EQ(diff.summary, "No changes detected.");
    EXPECT_FALSE(diff.fs_changes.has_value());
    EXPECT_EQ(vt::to_value(diff).find("fs_changes"), nullptr);
}

struct VersionCase {
    const char* a;
    const char* b;
    bool changed;
    const char* summary;
};

class VersionDiff : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionDiff, ComparesVersionTexts) {
    const auto diff = vt::compute_diff(GetParam().a, GetParam().b);
    EXPECT_EQ(diff.version_changed, GetParam().changed);
    EXPECT_EQ(diff.summary, GetParam().summary);
}

// Numbers and booleans are shown as written, so a numeric version bump is a change.
INSTANTIATE_TEST_SUITE_P(
    Versions, VersionDiff,
    ::testing::Values(
        VersionCase{"identity_version: '1'", "identity_version: '2'", true, "version: 1 -> 2"},
        VersionCase{"{}", "identity_version: '2'", true, "version: unknown -> 2"},
        VersionCase{"identity_version: 1", "identity_version: 2", true, "version: 1 -> 2"},
        VersionCase{"identity_version: 1.5", "identity_version: '1.5'", false,
                    "No changes detected."},
        VersionCase{"identity_version: 1", "identity_version: 1.0", true, "version: 1 -> 1.0"},
        VersionCase{"identity_version: [1]", "identity_version: ~", false, "No changes detected."},
        VersionCase{"identity_version: true", "identity_version: false", true,
                    "version: true -> false"}));

TEST(ComputeDiff, NamedRulesAddedRemovedAndModified) {
    const auto diff = vt::compute_diff(
        "rules:\n  - {name: r1, type: exact, weight: 0.5}\n  - {name: r2, weight: 1}\n"
        "  - {rule: r4, field: a}\n  - {type: anonymous}\n  - {name: 5, rule: r6}\n",
        "rules:\n  - {name: r1, type: exact, weight: 0.7}\n  - {name: r3}\n"
        "  - {name: r2, weight: 1.0}\n  - {rule: r4, field: b}\n  - {type: other}\n");
    EXPECT_EQ(diff.rules_added, Strings{"r3"});
    EXPECT_EQ(diff.rules_removed, Strings{});
    EXPECT_EQ(texts(diff.rules_modified),
              (Strings{"r1.weight: 0.5 -> 0.7", "r2.weight: 1 -> 1.0", "r4.field: a -> b"}));
    EXPECT_EQ(diff.summary, "rules: +1 -0 ~3");
}

TEST(ComputeDiff, RulesUnderMatchingCompareWithRulesUnderRules) {
    const auto diff = vt::compute_diff("matching: [{name: a, weight: 1}]",
                                       "rules: [{name: a, weight: 1}, {name: b}]\nmatching: x");
    EXPECT_EQ(diff.rules_added, Strings{"b"});
    EXPECT_TRUE(diff.rules_modified.empty());
}

TEST(ComputeDiff, SourcesByName) {
    const auto diff = vt::compute_diff(
        "sources: [{name: crm, table: t}, {name: old}, {name: crm, table: ignored}]",
        "sources: [{name: crm, table: t2, id: x}, {name: new}]");
    EXPECT_EQ(diff.sources_added, Strings{"new"});
    EXPECT_EQ(diff.sources_removed, Strings{"old"});
    // A repeated name compares the first element of each side, once per occurrence.
    EXPECT_EQ(texts(diff.sources_modified),
              (Strings{"crm.id: <absent> -> x", "crm.table: t -> t2", "crm.id: <absent> -> x",
                       "crm.table: t -> t2"}));
    EXPECT_EQ(diff.summary, "sources: +1 -1 ~4");
}

TEST(ComputeDiff, SectionsAreComparedLeafByLeaf) {
    const auto diff = vt::compute_diff(
        "entity: {name: c, attributes: {email: {type: string}}, tags: [a]}\n"
        "blocking: {keys: [a]}\nmetadata: {owner: x}\n"
        "api_version: v1\ngovernance: {a: 1}\nexclusions: [1]\n",
        "entity: {name: c, attributes: {email: {type: email}}, tags: [a, b]}\n"
        "survivorship: {default: recent}\nmetadata: {owner: y, team: z}\n"
        "api_version: v2\ngovernance: {a: 2}\nexclusions: [2]\n");
    EXPECT_EQ(texts(diff.entity_changes), (Strings{"entity.attributes.email.type: string -> email",
                                                   R"(entity.tags: ["a"] -> ["a","b"])"}));
    EXPECT_EQ(texts(diff.blocking_changes), (Strings{"blocking: <present> -> <absent>"}));
    EXPECT_EQ(texts(diff.survivorship_changes), (Strings{"survivorship: <absent> -> <present>"}));
    EXPECT_EQ(texts(diff.metadata_changes),
              (Strings{"metadata.owner: x -> y", "metadata.team: <absent> -> z"}));
    EXPECT_TRUE(diff.entity_changed && diff.blocking_changed && diff.survivorship_changed &&
                diff.metadata_changed);
    EXPECT_EQ(diff.summary,
              "2 entity change(s); 1 blocking change(s); 1 survivorship change(s); "
              "2 metadata change(s)");
}

TEST(ComputeDiff, UncomparedRootKeysAreNoChange) {
    const auto diff = vt::compute_diff(
        "api_version: a\nreference_identifiers: [1]\nrelations: 1\ngovernance: {}\nother: 1",
        "api_version: b\nreference_identifiers: [2]\nrelations: 2\nexclusions: []\n");
    EXPECT_EQ(diff.summary, "No changes detected.");
}

TEST(ComputeDiff, DecisionAddedSetsThresholdsChanged) {
    const auto diff = vt::compute_diff("{}", "decision: {thresholds: {match: 1}}");
    EXPECT_TRUE(diff.thresholds_changed);
    EXPECT_EQ(texts(diff.decision_changes), (Strings{"decision: <absent> -> <present>"}));
    EXPECT_EQ(diff.summary, "thresholds changed; 1 other decision change(s)");
}

TEST(ComputeDiff, DecisionThresholdsScoringAndOtherKeys) {
    const auto thresholds_only = vt::compute_diff("decision: {thresholds: {match: 0.8}}",
                                                  "decision: {thresholds: {match: 0.9}}");
    EXPECT_TRUE(thresholds_only.thresholds_changed);
    EXPECT_TRUE(thresholds_only.decision_changes.empty());
    EXPECT_EQ(thresholds_only.summary, "thresholds changed");

    const auto diff = vt::compute_diff(
        "decision: {scoring: {strategy: weighted_sum, fields: [1]}, audit: {log: true}, a: 1}",
        "decision: {scoring: {strategy: weighted_sum, fields: [2]}, audit: {log: false}, b: 1}");
    EXPECT_FALSE(diff.thresholds_changed);
    EXPECT_EQ(texts(diff.scoring_changes), (Strings{"decision.scoring.fields: [1] -> [2]"}));
    EXPECT_EQ(
        texts(diff.decision_changes),
        (Strings{"decision.a: 1 -> <absent>", R"(decision.audit: {"log":true} -> {"log":false})",
                 "decision.b: <absent> -> 1"}));
    EXPECT_EQ(diff.summary, "1 scoring change(s); 3 other decision change(s)");

    const auto added = vt::compute_diff("decision: {a: 1}", "decision: {a: 1, scoring: {x: 1}}");
    EXPECT_EQ(texts(added.scoring_changes), (Strings{R"(decision.scoring: <absent> -> {"x":1})"}));
}

constexpr const char* kFsA = R"(
decision:
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: email, m_probability: 0.9, u_probability: 0.01, weight: 2.5}
      - {name: phone, m_probability: 0.8}
      - {name: gone}
    thresholds: {match: 8, possible: 2, non_match: x}
)";

TEST(ComputeDiff, FellegiSunterMovesAndTheirImpact) {
    const auto diff = vt::compute_diff(kFsA, R"(
decision:
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: email, m_probability: 0.95, u_probability: 0.02, weight: 3}
      - {name: phone, m_probability: 0.70000000001}
      - {name: phone, m_probability: 0.1}
      - {name: added}
    thresholds: {match: 7.5, possible: '2', non_match: -4}
)");
    ASSERT_TRUE(diff.fs_changes.has_value());
    const vt::FsDiffResult& fs = *diff.fs_changes;
    EXPECT_EQ(fs.fields_added, Strings{"added"});
    EXPECT_EQ(fs.fields_removed, Strings{"gone"});
    ASSERT_EQ(fs.m_probability_changes.size(), 2u);
    EXPECT_EQ(fs.m_probability_changes[0].impact, "increases match likelihood");
    EXPECT_EQ(fs.m_probability_changes[0].new_value, 0.95);
    EXPECT_EQ(fs.m_probability_changes[1].field, "phone");
    EXPECT_EQ(fs.m_probability_changes[1].impact, "decreases match likelihood");
    ASSERT_EQ(fs.u_probability_changes.size(), 1u);
    EXPECT_EQ(fs.u_probability_changes[0].impact, "decreases match likelihood");
    EXPECT_EQ(texts(fs.weight_changes), (Strings{"scoring.fields.email.weight: 2.5000 -> 3.0000"}));
    EXPECT_EQ(texts(fs.threshold_changes), (Strings{"scoring.thresholds.match: 8.0000 -> 7.5000"}));
    EXPECT_EQ(diff.summary, "4 scoring change(s); 7 Fellegi-Sunter change(s)");
    EXPECT_TRUE(vt::to_value(diff).find("fs_changes")->find("max_composite_delta")->is_number());
}

TEST(ComputeDiff, FellegiSunterToleranceAndOneSidedStrategy) {
    const auto tiny = vt::compute_diff(
        "decision: {scoring: {strategy: fellegi_sunter, fields: [{name: e, m_probability: 0.9}]}}",
        "decision: {scoring: {strategy: fellegi_sunter, fields: [{name: e, m_probability: "
        "0.90000000001}]}}");
    EXPECT_FALSE(tiny.fs_changes.has_value());

    const auto lower_u = vt::compute_diff(
        "decision: {scoring: {strategy: fellegi_sunter, fields: [{name: e, u_probability: 0.02}]}}",
        "decision: {scoring: {strategy: fellegi_sunter, fields: [{name: e, u_probability: "
        "0.01}]}}");
    EXPECT_EQ(lower_u.fs_changes->u_probability_changes.at(0).impact, "increases match likelihood");

    const auto switched = vt::compute_diff(
        "decision: {scoring: {strategy: weighted_sum, fields: [{name: e, weight: 1}]}}",
        "decision: {scoring: {strategy: fellegi_sunter, fields: [{name: e, weight: 2}]}}");
    ASSERT_TRUE(switched.fs_changes.has_value());
    EXPECT_EQ(texts(switched.fs_changes->weight_changes),
              (Strings{"scoring.fields.e.weight: 1.0000 -> 2.0000"}));
    EXPECT_EQ(
        texts(switched.scoring_changes),
        (Strings{
            R"(decision.scoring.fields: [{"name":"e","weight":1}] -> [{"name":"e","weight":2}])",
            "decision.scoring.strategy: weighted_sum -> fellegi_sunter"}));

    // Thresholds are compared only when both sides have them.
    const auto one_sided =
        vt::compute_diff("decision: {scoring: {strategy: fellegi_sunter}}",
                         "decision: {scoring: {strategy: fellegi_sunter, thresholds: {match: 1}}}");
    EXPECT_FALSE(one_sided.fs_changes.has_value());
}

TEST(ComputeDiff, UnreadableTextReportsTheFirstBadSide) {
    try {
        vt::compute_diff("a: [", "b: {");
        FAIL();
    } catch (const vd::ReadError& e) {
        try {
            vd::read_tree("a: [");
        } catch (const vd::ReadError& expected) {
            EXPECT_STREQ(e.what(), expected.what());
        }
    }
    EXPECT_THROW(vt::compute_diff("a: 1", "b: {"), vd::ReadError);
}

TEST(ComputeDiff, AnyShapeGivesAResult) {
    for (const char* a : {"~", "[1, 2]", "text", "{rules: 1, sources: {a: 1}, decision: 3}"})
        for (const char* b : {"~", "{decision: [1], rules: [1, {name: ~}], entity: 2}", "7"})
            EXPECT_NO_THROW(vt::compute_diff(a, b)) << a << " / " << b;
}

}  // namespace
