#include "tooling/plan_report.hpp"

#include <array>
#include <exception>
#include <functional>

#include "document/digest.hpp"
#include "document/error.hpp"
#include "document/float_text.hpp"
#include "document/tree.hpp"
#include "tooling/fs_levels.hpp"
#include "tooling/lookup.hpp"
#include "tooling/message.hpp"

namespace velatro::tooling {

namespace {

using document::plain_float;
using document::two_decimals;

// Fuzzy rules below this threshold, or above this weight, risk over-merging.
constexpr double kLowThreshold = 0.8;
constexpr double kHighFuzzyWeight = 0.9;

template <typename T, typename Describe>
std::string join(const std::vector<T>& items, Describe describe) {
    std::string out;
    bool first = true;
    for (const T& item : items) {
        if (!first) out += ", ";
        out += describe(item);
        first = false;
    }
    return out;
}

std::vector<PlanSource> read_sources(const Value& tree) {
    std::vector<PlanSource> out;
    if (const auto* sources = array_of(lookup(tree, "sources")))
        for (const Value& source : *sources) {
            const Value* attributes = lookup(source, "attributes");
            out.push_back(
                {text_or(lookup(source, "name"), "unknown"),
                 text_or(lookup(source, "system"), "unknown"),
                 attributes && attributes->is_object() ? attributes->as_object().size() : 0});
        }
    return out;
}

std::vector<MatchStrategySummary> read_rules(const Value& tree) {
    std::vector<MatchStrategySummary> out;
    if (const auto* rules = array_of(lookup(tree, "rules")))
        for (const Value& rule : *rules) {
            MatchStrategySummary summary;
            summary.rule_name = text_or(lookup(rule, "name"), "unknown");
            summary.match_type = text_or(lookup(rule, "type"), "unknown");
            summary.field = text_or(lookup(rule, "field"), "unknown");
            if (const Value* algorithm = lookup(rule, "algorithm");
                algorithm && algorithm->is_string())
                summary.algorithm = algorithm->as_string();
            summary.threshold = read_number(lookup(rule, "threshold"));
            summary.weight = read_number(lookup(rule, "weight")).value_or(0.0);
            summary.evaluation_order = summary.is_exact() ? 3 : 4;
            out.push_back(std::move(summary));
        }
    return out;
}

std::vector<SurvivorshipSummary> read_survivorship(const Value& tree) {
    std::vector<SurvivorshipSummary> out;
    if (const auto* rules = array_of(lookup(lookup(tree, "survivorship"), "rules")))
        for (const Value& rule : *rules) {
            SurvivorshipSummary summary{text_or(lookup(rule, "field"), "unknown"),
                                        text_or(lookup(rule, "strategy"), "unknown"), std::nullopt};
            if (const auto* priority = array_of(lookup(rule, "source_priority"))) {
                summary.source_priority.emplace();
                for (const Value& entry : *priority)
                    if (entry.is_string()) summary.source_priority->push_back(entry.as_string());
            }
            out.push_back(std::move(summary));
        }
    return out;
}

// `primary` when present (a non-string primary gives the fallback without trying
// the alternative), else `alternative`.
std::string key_text(const Value& key, std::string_view primary, std::string_view alternative,
                     std::string_view fallback) {
    const Value* value = lookup(key, primary);
    if (!value) value = lookup(key, alternative);
    return text_or(value, fallback);
}

BlockingAnalysis read_blocking(const Value& tree) {
    const Value* blocking = lookup(tree, "blocking");
    BlockingAnalysis out;
    out.strategy = text_or(lookup(blocking, "strategy"), "none");
    if (const auto* keys = array_of(lookup(blocking, "keys")))
        for (const Value& key : *keys)
            out.keys.push_back({key_text(key, "field", "name", "unknown"),
                                key_text(key, "transform", "transformation", "identity")});
    const std::size_t count = out.keys.size();
    const bool unblocked = count == 0 && out.strategy == "none";
    if (count == 0)
        out.estimated_reduction = unblocked ? "none" : "medium";
    else if (count == 1)
        out.estimated_reduction = "low";
    else if (count <= 3)
        out.estimated_reduction = "medium";
    else
        out.estimated_reduction = "high";
    if (unblocked) out.warnings.push_back("No blocking keys defined — O(n²) pairwise comparisons");
    return out;
}

std::string weight_text(double weight) {
    return plain_float(weight);
}

// Stage 5 of a spec scored by comparison levels: which fields weigh in and how.
std::string level_scoring_text(const Value& tree) {
    std::vector<std::string> parts;
    if (const auto* fields = fs_fields_of(tree))
        for (const Value& field : *fields) {
            std::string part = text_or(lookup(field, "name"), "unknown");
            const auto* levels = array_of(lookup(field, "levels"));
            part += levels ? " (" + std::to_string(levels->size()) + " levels" : " (2 levels";
            if (const Value* tf = lookup(field, "term_frequency"); tf && tf->is_bool() && tf->as_bool())
                part += ", term frequency";
            parts.push_back(part + ")");
        }
    std::string text = "Sum Fellegi-Sunter match weights by comparison level: " +
                       (parts.empty() ? std::string("no fields") : join(parts, std::identity{}));
    if (auto prior = read_number(lookup(scoring_of(tree), "prior")))
        text += "; prior " + document::plain_float(*prior);
    return text + "; apply thresholds";
}

// A spec with levels whose probabilities are still to be estimated.
bool has_untrained_levels(const Value& tree) {
    if (!uses_levels(tree)) return false;
    if (const auto* fields = fs_fields_of(tree))
        for (const Value& field : *fields)
            if (const auto* levels = array_of(lookup(field, "levels")))
                for (const Value& level : *levels)
                    if (!lookup(level, "m_probability") || !lookup(level, "u_probability"))
                        return true;
    return false;
}

std::vector<ExecutionStage> build_stages(const Value& tree, const PlanResult& plan) {
    const auto& rules = plan.match_strategies;
    std::vector<std::string> source_names;
    for (const PlanSource& source : plan.sources) source_names.push_back(source.name);
    const std::string sources_text = join(source_names, std::identity{});

    std::vector<std::string> exact, fuzzy;
    for (const MatchStrategySummary& rule : rules) {
        if (rule.is_exact())
            exact.push_back(
                fill("{} on {} (w={})", {rule.rule_name, rule.field, weight_text(rule.weight)}));
        else
            fuzzy.push_back(fill("{} on {} via {} (w={})",
                                 {rule.rule_name, rule.field, rule.algorithm.value_or("default"),
                                  weight_text(rule.weight)}));
    }

    const auto& keys = plan.blocking_analysis.keys;
    const std::string key_text = keys.empty()
                                     ? "No blocking keys — full pairwise comparison"
                                     : join(keys, [](const BlockingKeySummary& key) {
                                           return fill("{} ({})", {key.name, key.transformation});
                                       });

    return {
        {1,
         "Normalize sources",
         fill("Ingest and normalize fields from: {}", {sources_text}),
         source_names,
         {"normalized_entities"}},
        {2,
         "Generate blocking keys",
         fill("Blocking strategy: {}. Keys: {}", {plan.blocking_analysis.strategy, key_text}),
         {"normalized_entities"},
         {"candidate_pairs"}},
        {3,
         "Exact matches",
         exact.empty() ? "No exact match rules defined" : join(exact, std::identity{}),
         {"candidate_pairs"},
         {"exact_match_scores"}},
        {4,
         "Fuzzy matches",
         fuzzy.empty() ? "No fuzzy match rules defined" : join(fuzzy, std::identity{}),
         {"candidate_pairs"},
         {"fuzzy_match_scores"}},
        {5,
         "Score & decide",
         uses_levels(tree) ? level_scoring_text(tree)
                           : std::string("Aggregate weighted scores and apply thresholds"),
         {"exact_match_scores", "fuzzy_match_scores"},
         {"match_decisions"}},
        {6,
         "Cluster entities",
         "Transitive closure via UnionFind to group matched entities",
         {"match_decisions"},
         {"entity_clusters"}},
        {7,
         "Apply survivorship",
         "Apply field-level survivorship rules to build golden records",
         {"entity_clusters"},
         {"golden_records"}},
        {8,
         "Emit outputs",
         "Produce canonical table, lineage table, and audit trail",
         {"golden_records"},
         {"canonical_entities", "identity_lineage", "audit_trail"}},
    };
}

enum class Risk {
    NoBlocking,
    SingleSignal,
    LowThreshold,
    HighWeightFuzzy,
    NoSurvivorship,
    PhoneWithoutBlocking,
    NoReviewThreshold,
    SingleSource,
    MissingTemporal,
    UntrainedLevels,
};

struct RiskText {
    std::string_view severity;
    std::string_view code;
    std::string_view message;  // "{}" placeholders: rule name, then the two-decimal value
    std::string_view recommendation;
};

constexpr std::array<RiskText, 10> kRisks{{
    {"critical", "NO_BLOCKING", "No blocking keys defined — all pairs will be compared (O(n²))",
     "Add blocking keys to reduce comparison space"},
    {"high", "SINGLE_SIGNAL",
     "Only one match rule — identity resolution depends on a single signal",
     "Add additional match rules for more robust identity resolution"},
    {"high", "LOW_THRESHOLD", "Rule '{}' has threshold {} — risk of over-merging",
     "Consider raising threshold to 0.8+ or adding verification rules"},
    {"medium", "HIGH_WEIGHT_FUZZY",
     "Fuzzy rule '{}' has weight {} — high trust in approximate matching",
     "Verify fuzzy algorithm accuracy or reduce weight"},
    {"medium", "NO_SURVIVORSHIP",
     "No survivorship rules defined — field selection will be arbitrary",
     "Define survivorship rules to control golden record field selection"},
    {"high", "PHONE_WITHOUT_BLOCKING",
     "Phone match rule without phone-based blocking key — phone reuse risk",
     "Add a phone-based blocking key (e.g., area code)"},
    {"medium", "NO_REVIEW_THRESHOLD",
     "No review threshold — all decisions are merge-or-reject with no review band",
     "Add a review threshold for ambiguous matches"},
    {"low", "SINGLE_SOURCE", "Only one source — no cross-system identity resolution",
     "Add additional sources for cross-system matching"},
    {"low", "MISSING_TEMPORAL", "No temporal configuration — identity resolution is not time-aware",
     "Add temporal config if entities have time-dependent attributes"},
    {"medium", "UNTRAINED_LEVELS",
     "Comparison levels without m/u probabilities — those levels weigh nothing",
     "Estimate the probabilities with velatro.train, or write them in"},
}};

RiskFlag flag(Risk risk, std::initializer_list<std::string_view> args = {}) {
    const RiskText& text = kRisks[static_cast<std::size_t>(risk)];
    return {std::string(text.severity), std::string(text.code), fill(text.message, args),
            std::string(text.recommendation)};
}

bool mentions_phone(std::string_view text) {
    return text.find("phone") != std::string_view::npos;
}

std::vector<RiskFlag> assess_risks(const Value& tree, const PlanResult& plan) {
    std::vector<RiskFlag> out;
    const auto& rules = plan.match_strategies;
    const auto& blocking = plan.blocking_analysis;
    if (blocking.keys.empty() && blocking.strategy == "none") out.push_back(flag(Risk::NoBlocking));
    if (rules.size() == 1) out.push_back(flag(Risk::SingleSignal));
    for (const MatchStrategySummary& rule : rules)
        if (!rule.is_exact() && rule.threshold && *rule.threshold < kLowThreshold)
            out.push_back(
                flag(Risk::LowThreshold, {rule.rule_name, two_decimals(*rule.threshold)}));
    for (const MatchStrategySummary& rule : rules)
        if (!rule.is_exact() && rule.weight > kHighFuzzyWeight)
            out.push_back(flag(Risk::HighWeightFuzzy, {rule.rule_name, two_decimals(rule.weight)}));
    if (plan.survivorship_summary.empty()) out.push_back(flag(Risk::NoSurvivorship));
    bool phone_rule = false, phone_key = false;
    for (const MatchStrategySummary& rule : rules)
        phone_rule = phone_rule || mentions_phone(rule.field);
    for (const BlockingKeySummary& key : blocking.keys)
        phone_key = phone_key || mentions_phone(key.name);
    if (phone_rule && !phone_key) out.push_back(flag(Risk::PhoneWithoutBlocking));
    if (!lookup(lookup(lookup(tree, "decision"), "thresholds"), "review"))
        out.push_back(flag(Risk::NoReviewThreshold));
    if (plan.sources.size() == 1) out.push_back(flag(Risk::SingleSource));
    if (!lookup(tree, "temporal")) out.push_back(flag(Risk::MissingTemporal));
    if (has_untrained_levels(tree)) out.push_back(flag(Risk::UntrainedLevels));
    return out;
}

std::string threshold_text(const Value& tree) {
    const Value* thresholds = lookup(lookup(tree, "decision"), "thresholds");
    const auto match = read_number(lookup(thresholds, "match"));
    if (!match) return "not configured";
    if (const auto review = read_number(lookup(thresholds, "review")))
        return fill("merge >= {}, review >= {}", {plain_float(*match), plain_float(*review)});
    return fill("merge >= {}", {plain_float(*match)});
}

std::string summary_text(const Value& tree, const PlanResult& plan) {
    std::vector<std::string> source_names;
    for (const PlanSource& source : plan.sources) source_names.push_back(source.name);
    const std::string signals = join(plan.match_strategies, [](const MatchStrategySummary& rule) {
        return rule.algorithm
                   ? fill("{} ({}/{}, w={})",
                          {rule.field, rule.match_type, *rule.algorithm, weight_text(rule.weight)})
                   : fill("{} ({}, w={})", {rule.field, rule.match_type, weight_text(rule.weight)});
    });
    const auto& keys = plan.blocking_analysis.keys;
    const std::string blocking =
        keys.empty() ? "none" : join(keys, [](const BlockingKeySummary& key) { return key.name; });
    std::size_t critical = 0, high = 0, medium = 0;
    for (const RiskFlag& risk : plan.risk_flags) {
        critical += risk.severity == "critical";
        high += risk.severity == "high";
        medium += risk.severity == "medium";
    }
    const std::array<std::string, 9> lines{
        fill("  Identity:     {} ({})", {plan.entity, plan.identity_version}),
        fill("  Sources:      {} ({})",
             {std::to_string(plan.sources.size()), join(source_names, std::identity{})}),
        fill("  Signals:      {}", {signals}),
        fill("  Blocking:     {}", {blocking}),
        fill("  Thresholds:   {}", {threshold_text(tree)}),
        "  Stages:       8 execution stages",
        fill("  Survivorship: {} fields configured",
             {std::to_string(plan.survivorship_summary.size())}),
        fill("  Risk flags:   {} critical, {} high, {} medium",
             {std::to_string(critical), std::to_string(high), std::to_string(medium)}),
        fill("  Plan hash:    {}...", {std::string_view(plan.plan_hash).substr(0, 15)}),
    };
    std::string out;
    for (const std::string& line : lines) {
        if (!out.empty()) out += '\n';
        out += line;
    }
    return out;
}

Value string_list(const std::vector<std::string>& items) {
    return document::Array(items.begin(), items.end());
}

template <typename T>
Value optional_value(const std::optional<T>& value) {
    return value ? Value(*value) : Value();
}

Value optional_value(const std::optional<std::vector<std::string>>& value) {
    return value ? string_list(*value) : Value();
}

template <typename T, typename Convert>
Value record_list(const std::vector<T>& items, Convert convert) {
    document::Array out;
    out.reserve(items.size());
    for (const T& item : items) out.push_back(convert(item));
    return out;
}

}  // namespace

PlanResult generate_plan(std::string_view yaml_text) {
    Value tree;
    try {
        tree = document::read_tree(yaml_text);
    } catch (const document::ReadError&) {
        // The reader's message stays reachable as the cause but is not part of the
        // report's own text.
        std::throw_with_nested(Error("Failed to parse YAML for plan generation"));
    }
    PlanResult plan;
    plan.entity = text_or(lookup(lookup(tree, "entity"), "name"), "unknown");
    plan.identity_version = text_or(lookup(tree, "identity_version"), "unknown");
    plan.sources = read_sources(tree);
    plan.match_strategies = read_rules(tree);
    plan.survivorship_summary = read_survivorship(tree);
    plan.blocking_analysis = read_blocking(tree);
    plan.execution_stages = build_stages(tree, plan);
    plan.risk_flags = assess_risks(tree, plan);
    plan.plan_hash = document::fingerprint(tree);
    plan.summary = summary_text(tree, plan);
    return plan;
}

document::Value to_value(const PlanResult& plan) {
    document::Object out;
    out.emplace("entity", plan.entity);
    out.emplace("identity_version", plan.identity_version);
    out.emplace("plan_hash", plan.plan_hash);
    out.emplace("sources", record_list(plan.sources, [](const PlanSource& source) {
                    return Value(document::Object{{"name", source.name},
                                                  {"system", source.system},
                                                  {"field_count", source.field_count}});
                }));
    out.emplace("execution_stages", record_list(plan.execution_stages, [](const ExecutionStage& s) {
                    return Value(document::Object{{"stage", s.stage},
                                                  {"name", s.name},
                                                  {"description", s.description},
                                                  {"inputs", string_list(s.inputs)},
                                                  {"outputs", string_list(s.outputs)}});
                }));
    out.emplace("match_strategies",
                record_list(plan.match_strategies, [](const MatchStrategySummary& rule) {
                    return Value(document::Object{{"rule_name", rule.rule_name},
                                                  {"match_type", rule.match_type},
                                                  {"field", rule.field},
                                                  {"algorithm", optional_value(rule.algorithm)},
                                                  {"threshold", optional_value(rule.threshold)},
                                                  {"weight", rule.weight},
                                                  {"evaluation_order", rule.evaluation_order}});
                }));
    out.emplace("survivorship_summary",
                record_list(plan.survivorship_summary, [](const SurvivorshipSummary& rule) {
                    return Value(document::Object{
                        {"field", rule.field},
                        {"strategy", rule.strategy},
                        {"source_priority", optional_value(rule.source_priority)}});
                }));
    const BlockingAnalysis& blocking = plan.blocking_analysis;
    out.emplace(
        "blocking_analysis",
        document::Object{{"strategy", blocking.strategy},
                         {"keys", record_list(blocking.keys,
                                              [](const BlockingKeySummary& key) {
                                                  return Value(document::Object{
                                                      {"name", key.name},
                                                      {"transformation", key.transformation}});
                                              })},
                         {"estimated_reduction", blocking.estimated_reduction},
                         {"warnings", string_list(blocking.warnings)}});
    out.emplace("risk_flags", record_list(plan.risk_flags, [](const RiskFlag& risk) {
                    return Value(document::Object{{"severity", risk.severity},
                                                  {"code", risk.code},
                                                  {"message", risk.message},
                                                  {"recommendation", risk.recommendation}});
                }));
    out.emplace("summary", plan.summary);
    return out;
}

}  // namespace velatro::tooling
