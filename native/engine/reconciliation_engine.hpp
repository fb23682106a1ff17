#pragma once
// The executable form of an identity plan: match-rule objects, blocking strategies,
// the compiled custom expression and the decision settings, built once per call and
// then shared read-only by every worker thread.
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/blocking/blocking_strategy.hpp"
#include "engine/entity.hpp"
#include "engine/expression.hpp"
#include "engine/match/match_rule.hpp"
#include "engine/overrides.hpp"
#include "engine/telemetry.hpp"
#include "engine/temporal.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::engine {

class ReconciliationEngine {
public:
    static ReconciliationEngine from_plan(const plan::IdentityPlan& plan);
    static std::unique_ptr<MatchRule> compile_rule(const plan::CompiledRule& rule);

    // Decides one pair. f is the temporal factor from TemporalMatcher.
    [[nodiscard]] MatchDecision evaluate_pair(const NormalizedEntity& a, const NormalizedEntity& b,
                                              const OverrideResolver& overrides, double f) const;

    // Every rule's per-record preparation: out has room for rules().size() values.
    void prepare(const NormalizedEntity& entity, PreparedValue* out) const;

    // The run's form of evaluate_pair, over prepared values: records the pair's
    // telemetry sample and builds the decision (rule results, explanations) only when
    // it is kept, that is merge or review. Identical to evaluate_pair otherwise.
    [[nodiscard]] std::optional<MatchDecision> evaluate_prepared(
        const NormalizedEntity& a, const NormalizedEntity& b, const PreparedValue* pa,
        const PreparedValue* pb, const OverrideResolver& overrides, double f,
        TelemetryCollector& telemetry) const;

    [[nodiscard]] static bool matches_exclusion(const NormalizedEntity& entity,
                                                const plan::CompiledExclusion& exclusion);
    // True when any exclusion keeps the record out of blocking.
    [[nodiscard]] bool excluded_from_blocking(const NormalizedEntity& entity) const;

    [[nodiscard]] const std::vector<std::unique_ptr<BlockingStrategy>>& blocking_strategies() const {
        return blocking_;
    }
    [[nodiscard]] const std::vector<std::unique_ptr<MatchRule>>& rules() const { return rules_; }
    [[nodiscard]] const TemporalMatcher& temporal_matcher() const { return temporal_; }
    [[nodiscard]] const std::optional<std::uint64_t>& neighborhood_window() const {
        return neighborhood_window_;
    }
    [[nodiscard]] const std::vector<std::string>& sort_fields() const { return sort_fields_; }
    [[nodiscard]] const std::vector<plan::TieBreaker>& tie_breakers() const { return tie_breakers_; }
    [[nodiscard]] double merge_threshold() const { return merge_threshold_; }
    [[nodiscard]] double review_threshold() const { return review_threshold_; }
    [[nodiscard]] plan::ScoringMethod scoring_method() const { return scoring_method_; }

    // Unicode full lowercase, as the sorted-neighbourhood keys use it.
    [[nodiscard]] static std::string lowercase(std::string_view text);

private:
    ReconciliationEngine() : temporal_(plan::TemporalStrategy::LatestOnly) {}

    // What decides a pair before any rule runs.
    enum class Early : std::uint8_t { None, Excluded, Split, Lock, ManualMerge, ReferenceId };
    struct EarlyOutcome {
        Early kind = Early::None;
        std::size_t reference = 0;  // ReferenceId: which identifier
    };
    [[nodiscard]] EarlyOutcome early_outcome(const NormalizedEntity& a, const NormalizedEntity& b,
                                             const OverrideResolver& overrides) const;
    [[nodiscard]] MatchDecision early_decision(const NormalizedEntity& a,
                                               const NormalizedEntity& b, EarlyOutcome early,
                                               double f) const;

    struct Score {
        double value = 0.0;
        Decision decision = Decision::NoMerge;
        std::optional<double> posterior;
    };
    // Scores the rules' outcomes (one per rule, in order) and decides.
    [[nodiscard]] Score score(const RuleOutcome* outcomes, double f) const;
    // The full decision of a scored pair: rule results, matched rules, explanations.
    [[nodiscard]] MatchDecision build_decision(const NormalizedEntity& a,
                                               const NormalizedEntity& b,
                                               const RuleOutcome* outcomes, const Score& score,
                                               double f) const;
    // Pair evaluation over prepared values; telemetry and keep_no_merge select the
    // run's form or the plain one.
    [[nodiscard]] std::optional<MatchDecision> evaluate_core(
        const NormalizedEntity& a, const NormalizedEntity& b, const PreparedValue* pa,
        const PreparedValue* pb, const OverrideResolver& overrides, double f,
        TelemetryCollector* telemetry, bool keep_no_merge) const;

    std::optional<std::uint64_t> neighborhood_window_;
    std::vector<std::string> sort_fields_;
    std::vector<std::unique_ptr<MatchRule>> rules_;
    std::vector<std::unique_ptr<BlockingStrategy>> blocking_;
    std::vector<plan::CompiledReferenceIdentifier> reference_identifiers_;
    std::vector<plan::CompiledRelation> relations_;
    std::vector<plan::CompiledExclusion> exclusions_;
    std::vector<plan::TieBreaker> tie_breakers_;
    std::optional<Program> custom_expression_;
    std::optional<plan::CompiledFellegiSunterPlan> fellegi_sunter_;
    double merge_threshold_ = 0.0;
    double review_threshold_ = 0.0;
    std::optional<plan::CompiledMlEnsembleConfig> ml_ensemble_;
    bool log_probabilities_ = false;
    TemporalMatcher temporal_;
    plan::ScoringMethod scoring_method_ = plan::ScoringMethod::WeightedSum;

    // Name lookups of the scoring methods, resolved once: the ML coefficient of each
    // rule, and for each Fellegi-Sunter field the first rule of its name (npos: none).
    std::vector<double> ml_coefficients_;
    std::vector<std::size_t> fs_rule_index_;
};

}  // namespace velatro::engine
