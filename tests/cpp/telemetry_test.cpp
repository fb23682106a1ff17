#include "engine/telemetry.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "document/json_writer.hpp"

namespace ve = velatro::engine;

namespace {

ve::RuleResult result(std::string name, double score, bool matched = false) {
    ve::RuleResult r;
    r.rule_name = std::move(name);
    r.score = score;
    r.matched = matched;
    return r;
}

std::string json(ve::TelemetryCollector collector) {
    return velatro::document::to_json(to_value(std::move(collector).into_telemetry()));
}

TEST(Telemetry, NoPairsKeepsOnlyTheBlockCount) {
    ve::TelemetryCollector collector;
    collector.set_blocking_groups(4);
    EXPECT_EQ(json(std::move(collector)),
              R"({"blocking_groups":4,"decisions_by_type":{},"pairs_evaluated":0,)"
              R"("rule_telemetry":[]})");
}

TEST(Telemetry, CountsPairsLabelsAndRulesSortedByName) {
    ve::TelemetryCollector collector;
    collector.set_blocking_groups(2);
    collector.record_pair(std::vector{result("name", 1.0, true), result("email", 1.0, true)},
                          ve::Decision::Merge);
    collector.record_pair(std::vector{result("name", 0.0), result("address", 0.25)},
                          ve::Decision::NoMerge);
    collector.record_pair(std::vector{result("name", 0.5, true)}, "nomerge");
    // Decided before any rule ran: counts as a pair and a label only.
    collector.record_pair({}, ve::Decision::Merge);

    const ve::ReconciliationTelemetry t = std::move(collector).into_telemetry();
    EXPECT_EQ(t.pairs_evaluated, 4U);
    EXPECT_EQ(t.decisions_by_type,
              (std::map<std::string, std::uint64_t, std::less<>>{{"merge", 2}, {"nomerge", 2}}));
    ASSERT_EQ(t.rule_telemetry.size(), 3U);
    EXPECT_EQ(t.rule_telemetry[0].rule_name, "address");
    EXPECT_EQ(t.rule_telemetry[1].rule_name, "email");
    const ve::RuleTelemetry& name = t.rule_telemetry[2];
    EXPECT_EQ(name, (ve::RuleTelemetry{"name", 3, 2, 0, std::nullopt, 0.5}));
    EXPECT_EQ(velatro::document::to_json(to_value(name)),
              R"({"avg_score":0.5,"evaluated":3,"matched":2,"rule_name":"name",)"
              R"("skip_reason":null,"skipped":0})");
}

TEST(Telemetry, RulesSharingANameShareOneEntry) {
    ve::TelemetryCollector collector;
    collector.record_pair(std::vector{result("r", 1.0, true), result("r", 0.0)},
                          ve::Decision::Review);
    const auto t = std::move(collector).into_telemetry();
    ASSERT_EQ(t.rule_telemetry.size(), 1U);
    EXPECT_EQ(t.rule_telemetry[0].evaluated, 2U);
    EXPECT_EQ(t.rule_telemetry[0].matched, 1U);
    EXPECT_EQ(t.rule_telemetry[0].avg_score, 0.5);
}

// Zeros and NaN: the sum starts at -0, so a rule that only ever scored -0 averages -0,
// one +0 anywhere makes it +0, and NaN anywhere poisons it (written as null).
TEST(Telemetry, SignedZerosAndNaN) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::vector<double> scores;
        std::string avg_json;
    };
    const std::vector<Case> cases{
        {{-0.0, -0.0}, "-0.0"},          {{-0.0, 0.0, -0.0}, "0.0"}, {{0.0, -0.0}, "0.0"},
        {{-1.0, 0.0, -0.0, 1.0}, "0.0"}, {{0.5, nan, 0.25}, "null"}, {{-nan, 1.0}, "null"},
    };
    for (const Case& c : cases) {
        ve::TelemetryCollector collector;
        for (double s : c.scores) collector.record_pair(std::vector{result("r", s)}, "merge");
        const auto t = std::move(collector).into_telemetry();
        const std::string text = velatro::document::to_json(to_value(t.rule_telemetry[0]));
        EXPECT_NE(text.find("\"avg_score\":" + c.avg_json + ","), std::string::npos) << text;
    }
}

// The average must be bit-identical to sorting every score and summing from -0 in that
// order, however the pairs were spread over collectors and merged. The scores mix
// magnitudes so that a different summation order would change the last bits.
TEST(Telemetry, MergedSplitsGiveBitIdenticalAverages) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> scores;
    for (int i = 0; i < 20000; ++i) {
        const auto pick = rng() % 4;
        if (pick == 0)
            scores.push_back(unit(rng));  // mostly distinct
        else if (pick == 1)
            scores.push_back(static_cast<double>(rng() % 5) / 4);  // heavy repeats
        else if (pick == 2)
            scores.push_back(unit(rng) * 1e12);
        else
            scores.push_back(-unit(rng) * 1e-3);
    }
    std::vector<double> sorted = scores;
    std::sort(sorted.begin(), sorted.end());
    double sorted_sum = -0.0;
    for (double s : sorted) sorted_sum += s;
    const double expected = sorted_sum / static_cast<double>(scores.size());
    double insertion_sum = -0.0;
    for (double s : scores) insertion_sum += s;
    ASSERT_NE(std::bit_cast<std::uint64_t>(insertion_sum), std::bit_cast<std::uint64_t>(sorted_sum))
        << "the data should be order-sensitive";

    for (std::size_t parts : {1U, 2U, 3U, 8U, 50U}) {
        std::vector<double> shuffled = scores;
        std::shuffle(shuffled.begin(), shuffled.end(), rng);
        std::vector<ve::TelemetryCollector> collectors(parts);
        for (std::size_t i = 0; i < shuffled.size(); ++i) {
            collectors[rng() % parts].record_pair(
                std::vector{result("jw", shuffled[i], true), result("exact", 1.0)}, "merge");
        }
        ve::TelemetryCollector total;
        total.set_blocking_groups(9);
        for (const auto& c : collectors) total.merge(c);
        const auto t = std::move(total).into_telemetry();
        ASSERT_EQ(t.rule_telemetry.size(), 2U);
        const ve::RuleTelemetry& jw = t.rule_telemetry[1];
        EXPECT_EQ(jw.evaluated, scores.size());
        EXPECT_EQ(std::bit_cast<std::uint64_t>(jw.avg_score),
                  std::bit_cast<std::uint64_t>(expected))
            << "parts " << parts;
        EXPECT_EQ(t.rule_telemetry[0].avg_score, 1.0);
        EXPECT_EQ(t.pairs_evaluated, scores.size());
        EXPECT_EQ(t.decisions_by_type.at("merge"), scores.size());
        EXPECT_EQ(t.blocking_groups, 9U);
    }
}

// Repeated scores are added one by one, not as value times count, which rounds differently.
TEST(ScoreCounts, RepeatsAreAddedOneByOne) {
    ve::ScoreCounts counts;
    counts.add(0.1, 7);
    counts.add(0.1, 3);
    double expected = -0.0;
    for (int i = 0; i < 10; ++i) expected += 0.1;
    ASSERT_NE(expected, 0.1 * 10);
    EXPECT_EQ(counts.distinct(), 1U);
    EXPECT_EQ(counts.total(), 10U);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(counts.ascending_sum()),
              std::bit_cast<std::uint64_t>(expected));
}

}  // namespace
