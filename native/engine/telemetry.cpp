#include "engine/telemetry.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <utility>

namespace velatro::engine {
namespace {

std::uint64_t mix(std::uint64_t x) {
    // SplitMix64 finaliser: scores cluster in a few exponents, so the low bits of the raw
    // pattern alone would probe badly.
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    x ^= x >> 31;
    return x;
}

// IEEE total order as an unsigned key: -NaN < -inf < ... < -0 < +0 < ... < +inf < +NaN.
// Distinguishing the zeros and placing NaN at the ends changes no sum compared with an
// order that treats them as equal or unordered: starting from -0, zeros alone sum to +0
// exactly when a +0 is among them, in any order, and once the sum is non-zero adding a
// zero leaves it unchanged; a NaN makes the sum NaN wherever it stands. So the average is
// the one a plain ascending sort would give, whatever that sort did with such ties.
std::uint64_t total_order_key(std::uint64_t bits) {
    constexpr std::uint64_t kSign = 0x8000000000000000ULL;
    return (bits & kSign) ? ~bits : bits | kSign;
}

document::Value float_value(double v) {
    return std::isfinite(v) ? document::Value(v) : document::Value(nullptr);
}

}  // namespace

// ---- ScoreCounts --------------------------------------------------------------------------

void ScoreCounts::add(double score, std::uint64_t count) {
    if (count == 0) return;
    insert(std::bit_cast<std::uint64_t>(score), count);
}

void ScoreCounts::insert(std::uint64_t bits, std::uint64_t count) {
    // Keep the load at most 3/4 so probes stay short.
    if ((used_ + 1) * 4 > slots_.size() * 3) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = mix(bits) & mask;; i = (i + 1) & mask) {
        Slot& slot = slots_[i];
        if (slot.count == 0) {
            slot.bits = bits;
            slot.count = count;
            ++used_;
            break;
        }
        if (slot.bits == bits) {
            slot.count += count;
            break;
        }
    }
    total_ += count;
}

void ScoreCounts::grow() {
    std::vector<Slot> old = std::move(slots_);
    slots_.assign(old.empty() ? 16 : old.size() * 2, Slot{});
    used_ = 0;
    total_ = 0;
    for (const Slot& slot : old)
        if (slot.count != 0) insert(slot.bits, slot.count);
}

void ScoreCounts::merge(const ScoreCounts& other) {
    for (const Slot& slot : other.slots_)
        if (slot.count != 0) insert(slot.bits, slot.count);
}

double ScoreCounts::ascending_sum() const {
    std::vector<Slot> present;
    present.reserve(used_);
    for (const Slot& slot : slots_)
        if (slot.count != 0) present.push_back(slot);
    std::sort(present.begin(), present.end(), [](const Slot& a, const Slot& b) {
        return total_order_key(a.bits) < total_order_key(b.bits);
    });
    double sum = -0.0;
    for (const Slot& slot : present) {
        const double v = std::bit_cast<double>(slot.bits);
        // One addition per occurrence: rounding after each step is what a sum over the
        // sorted list does, and v * count would round differently.
        for (std::uint64_t k = 0; k < slot.count; ++k) sum += v;
    }
    return sum;
}

// ---- TelemetryCollector -------------------------------------------------------------------

TelemetryCollector::RuleStats& TelemetryCollector::stats_for(std::string_view name,
                                                             std::size_t hint) {
    // Pairs list their rules in plan order, so the i-th result usually lands on the i-th
    // entry.
    if (hint < rules_.size() && rules_[hint].name == name) return rules_[hint];
    for (RuleStats& stats : rules_)
        if (stats.name == name) return stats;
    rules_.push_back(RuleStats{std::string(name), {}, 0, 0, 0});
    return rules_.back();
}

void TelemetryCollector::record_pair(std::span<const RuleResult> results, std::string_view label) {
    record_decision(label);
    for (std::size_t i = 0; i < results.size(); ++i)
        record_rule(results[i].rule_name, i, results[i].score, results[i].matched);
}

void TelemetryCollector::record_decision(std::string_view label, std::uint64_t copies) {
    pairs_evaluated_ += copies;
    auto decision = std::find_if(decisions_.begin(), decisions_.end(),
                                 [&](const auto& entry) { return entry.first == label; });
    if (decision == decisions_.end())
        decisions_.emplace_back(std::string(label), copies);
    else
        decision->second += copies;
}

void TelemetryCollector::merge(const TelemetryCollector& other) {
    pairs_evaluated_ += other.pairs_evaluated_;
    scores_.merge(other.scores_);
    for (const auto& [label, count] : other.decisions_) {
        auto it = std::find_if(decisions_.begin(), decisions_.end(),
                               [&](const auto& entry) { return entry.first == label; });
        if (it == decisions_.end())
            decisions_.emplace_back(label, count);
        else
            it->second += count;
    }
    for (std::size_t i = 0; i < other.rules_.size(); ++i) {
        const RuleStats& theirs = other.rules_[i];
        RuleStats& ours = stats_for(theirs.name, i);
        ours.scores.merge(theirs.scores);
        ours.evaluations += theirs.evaluations;
        ours.matches += theirs.matches;
        ours.skips += theirs.skips;
    }
}

ReconciliationTelemetry TelemetryCollector::into_telemetry() && {
    ReconciliationTelemetry out;
    out.rule_telemetry.reserve(rules_.size());
    for (RuleStats& stats : rules_) {
        RuleTelemetry rule;
        rule.rule_name = std::move(stats.name);
        rule.evaluated = stats.evaluations;
        rule.matched = stats.matches;
        rule.skipped = stats.skips;
        rule.avg_score = stats.evaluations == 0 ? 0.0
                                                : stats.scores.ascending_sum() /
                                                      static_cast<double>(stats.evaluations);
        out.rule_telemetry.push_back(std::move(rule));
    }
    std::sort(
        out.rule_telemetry.begin(), out.rule_telemetry.end(),
        [](const RuleTelemetry& a, const RuleTelemetry& b) { return a.rule_name < b.rule_name; });
    out.blocking_groups = blocking_groups_;
    out.pairs_evaluated = pairs_evaluated_;
    for (auto& [label, count] : decisions_) out.decisions_by_type.emplace(std::move(label), count);
    if (!scores_.empty()) out.score_distribution = scores_.distribution();
    rules_.clear();
    decisions_.clear();
    return out;
}

document::Value to_value(const RuleTelemetry& telemetry) {
    document::Object o;
    o.emplace("rule_name", telemetry.rule_name);
    o.emplace("evaluated", telemetry.evaluated);
    o.emplace("matched", telemetry.matched);
    o.emplace("skipped", telemetry.skipped);
    o.emplace("skip_reason", telemetry.skip_reason ? document::Value(*telemetry.skip_reason)
                                                   : document::Value(nullptr));
    o.emplace("avg_score", float_value(telemetry.avg_score));
    return o;
}

document::Value to_value(const ReconciliationTelemetry& telemetry) {
    document::Array rules;
    rules.reserve(telemetry.rule_telemetry.size());
    for (const RuleTelemetry& rule : telemetry.rule_telemetry) rules.push_back(to_value(rule));
    document::Object decisions;
    for (const auto& [label, count] : telemetry.decisions_by_type) decisions.emplace(label, count);
    document::Object o;
    o.emplace("rule_telemetry", std::move(rules));
    o.emplace("blocking_groups", telemetry.blocking_groups);
    o.emplace("pairs_evaluated", telemetry.pairs_evaluated);
    o.emplace("decisions_by_type", std::move(decisions));
    return o;
}

}  // namespace velatro::engine
