#pragma once
// The plan report: how a spec would run, explained before anything runs. Sources,
// the fixed eight-stage pipeline, how each rule compares records, survivorship,
// how much blocking cuts the comparison space, configuration risks and a short
// text summary. Incomplete specs are reported with defaults, never refused.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/value.hpp"

namespace velatro::tooling {

struct PlanSource {
    std::string name;
    std::string system;
    std::uint64_t field_count = 0;
};

struct ExecutionStage {
    std::uint64_t stage = 0;
    std::string name;
    std::string description;
    std::vector<std::string> inputs;
    std::vector<std::string> outputs;
};

struct MatchStrategySummary {
    std::string rule_name;
    std::string match_type;
    std::string field;
    std::optional<std::string> algorithm;
    std::optional<double> threshold;
    double weight = 0.0;
    // The stage that evaluates the rule: 3 for exact rules, 4 for the others.
    std::uint64_t evaluation_order = 0;

    [[nodiscard]] bool is_exact() const { return match_type == "exact"; }
};

struct SurvivorshipSummary {
    std::string field;
    std::string strategy;
    std::optional<std::vector<std::string>> source_priority;
};

struct BlockingKeySummary {
    std::string name;
    std::string transformation;
};

struct BlockingAnalysis {
    std::string strategy;
    std::vector<BlockingKeySummary> keys;
    std::string estimated_reduction;
    std::vector<std::string> warnings;
};

struct RiskFlag {
    std::string severity;
    std::string code;
    std::string message;
    std::string recommendation;
};

struct PlanResult {
    std::string entity;
    std::string identity_version;
    std::string plan_hash;
    std::vector<PlanSource> sources;
    std::vector<ExecutionStage> execution_stages;
    std::vector<MatchStrategySummary> match_strategies;
    std::vector<SurvivorshipSummary> survivorship_summary;
    BlockingAnalysis blocking_analysis;
    std::vector<RiskFlag> risk_flags;
    std::string summary;
};

// Reads the text itself. Unreadable YAML throws velatro::Error with the text
// "Failed to parse YAML for plan generation", the reading error nested as its cause.
PlanResult generate_plan(std::string_view yaml_text);

// The report as a document tree: one key per field, unset optionals as null.
document::Value to_value(const PlanResult& plan);

}  // namespace velatro::tooling
