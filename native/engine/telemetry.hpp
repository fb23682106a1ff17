#pragma once
// Telemetry of a reconciliation run: how many blocks and pairs there were, how pairs were
// decided, and per match rule how often it ran, matched, and its average score.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/value.hpp"
#include "engine/entity.hpp"
#include "engine/model/score_histogram.hpp"

namespace velatro::engine {

struct RuleTelemetry {
    std::string rule_name;
    std::uint64_t evaluated = 0;
    std::uint64_t matched = 0;
    std::uint64_t skipped = 0;               // nothing is ever skipped today
    std::optional<std::string> skip_reason;  // likewise always absent
    double avg_score = 0.0;

    friend bool operator==(const RuleTelemetry&, const RuleTelemetry&) = default;
};

struct ReconciliationTelemetry {
    std::vector<RuleTelemetry> rule_telemetry;  // by rule name, byte order
    std::uint64_t blocking_groups = 0;
    std::uint64_t pairs_evaluated = 0;
    std::map<std::string, std::uint64_t, std::less<>> decisions_by_type;  // only labels seen
    // The scores of all pairs the rules scored, merged or not. Not part of the telemetry
    // document (to_value leaves it out).
    std::optional<ScoreDistribution> score_distribution;

    friend bool operator==(const ReconciliationTelemetry&,
                           const ReconciliationTelemetry&) = default;
};

// Objects with the field names as keys; "skip_reason" null when absent, a non-finite
// average as null.
document::Value to_value(const RuleTelemetry& telemetry);
document::Value to_value(const ReconciliationTelemetry& telemetry);

// A multiset of doubles kept as distinct bit patterns with their counts: the memory grows
// with the number of distinct scores, not with the number of pairs, yet the exact sum in
// ascending order can still be replayed.
class ScoreCounts {
  public:
    void add(double score, std::uint64_t count = 1);
    void merge(const ScoreCounts& other);

    [[nodiscard]] std::uint64_t total() const noexcept { return total_; }
    [[nodiscard]] std::size_t distinct() const noexcept { return used_; }

    // The sum of every recorded score, added one by one in ascending order starting from
    // negative zero.
    [[nodiscard]] double ascending_sum() const;

  private:
    struct Slot {
        std::uint64_t bits = 0;
        std::uint64_t count = 0;  // 0 marks an empty slot
    };
    void insert(std::uint64_t bits, std::uint64_t count);
    void grow();

    std::vector<Slot> slots_;  // open addressing, linear probing, power-of-two size
    std::size_t used_ = 0;
    std::uint64_t total_ = 0;
};

// Collects the telemetry of one run. Not synchronised: give each worker thread its own
// collector and merge them at the end. Every count is a sum and the scores are a multiset
// summed in sorted order, so the result depends only on the set of recorded pairs, never
// on how they were split among collectors or in which order they came.
class TelemetryCollector {
  public:
    // The number of distinct block keys of the run. Merging keeps the receiver's value.
    void set_blocking_groups(std::uint64_t groups) noexcept { blocking_groups_ = groups; }

    // One evaluated pair: its rule results in evaluation order and its decision label
    // ("merge", "review", "nomerge"). A pair decided before any rule ran has no results.
    // Results of rules sharing a name count under one entry.
    void record_pair(std::span<const RuleResult> results, std::string_view label);
    void record_pair(std::span<const RuleResult> results, Decision decision) {
        record_pair(results, decision_label(decision));
    }

    // The same effect as record_pair, in two steps for callers that hold no RuleResult
    // objects: the pair's decision, then each rule's outcome with its position in the
    // pair's results. copies records the same sample that many times at once, for a run
    // that judges a pair once on behalf of every block that pairs the two records.
    void record_decision(std::string_view label, std::uint64_t copies = 1);
    void record_rule(std::string_view name, std::size_t position, double score, bool matched,
                     std::uint64_t copies = 1) {
        RuleStats& stats = stats_for(name, position);
        stats.evaluations += copies;
        stats.scores.add(score, copies);
        if (matched) stats.matches += copies;
    }

    // The score of a pair the rules scored (see ScoreHistogram::record).
    void record_score(ScoreScale scale, double score, std::optional<double> posterior,
                      Decision decision, std::uint64_t copies = 1) {
        scores_.record(scale, score, posterior, decision, copies);
    }

    void merge(const TelemetryCollector& other);

    [[nodiscard]] std::uint64_t pairs_evaluated() const noexcept { return pairs_evaluated_; }

    ReconciliationTelemetry into_telemetry() &&;

  private:
    struct RuleStats {
        std::string name;
        ScoreCounts scores;
        std::uint64_t evaluations = 0;
        std::uint64_t matches = 0;
        std::uint64_t skips = 0;
    };
    RuleStats& stats_for(std::string_view name, std::size_t hint);

    // Few rules and three labels: flat vectors in first-seen order with a positional hint
    // beat any map on the per-pair path, and allocate only when a name is first seen.
    std::vector<RuleStats> rules_;
    std::vector<std::pair<std::string, std::uint64_t>> decisions_;
    std::uint64_t pairs_evaluated_ = 0;
    std::uint64_t blocking_groups_ = 0;
    ScoreHistogram scores_;
};

}  // namespace velatro::engine
