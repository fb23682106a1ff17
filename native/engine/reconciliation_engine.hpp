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
#include "engine/model/level_model.hpp"
#include "engine/model/term_frequencies.hpp"
#include "engine/overrides.hpp"
#include "engine/telemetry.hpp"
#include "engine/temporal.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::engine {

class ReconciliationEngine {
  public:
    static ReconciliationEngine from_plan(const plan::IdentityPlan& plan);
    // The same with the plan's custom scoring expression already compiled (see
    // SpecCompiler::compile), so the text is not compiled a second time.
    static ReconciliationEngine from_plan(const plan::IdentityPlan& plan,
                                          CompiledExpression expression);
    static std::unique_ptr<MatchRule> compile_rule(const plan::CompiledRule& rule);

    // Decides one pair. f is the temporal factor from TemporalMatcher.
    [[nodiscard]] MatchDecision evaluate_pair(const NormalizedEntity& a, const NormalizedEntity& b,
                                              const OverrideResolver& overrides, double f) const;

    // Every rule's per-record preparation, then the comparison-level fields': out has
    // room for prepared_slots() values.
    void prepare(const NormalizedEntity& entity, PreparedValue* out) const;
    [[nodiscard]] std::size_t prepared_slots() const noexcept {
        return rules_.size() + (levels_ ? levels_->slots() : 0);
    }
    // Outcomes of one pair: one per rule, then one per comparison-level field.
    [[nodiscard]] std::size_t outcome_slots() const noexcept {
        return rules_.size() + (levels_ ? levels_->fields().size() : 0);
    }
    // Scoring by comparison levels, when the plan asks for it.
    [[nodiscard]] const LevelModel* level_model() const noexcept {
        return levels_ ? &*levels_ : nullptr;
    }
    [[nodiscard]] bool needs_term_frequencies() const noexcept {
        return levels_ && levels_->needs_term_frequencies();
    }

    // What decides a pair before any rule runs.
    enum class Early : std::uint8_t { None, Excluded, Split, Lock, ManualMerge, ReferenceId };

    // The outcome of one pair without its texts: enough to count it in telemetry, to
    // keep or drop it, to sort it, and to build its full MatchDecision later.
    struct Verdict {
        Early early = Early::None;
        std::uint32_t reference = 0;  // ReferenceId: which identifier
        Decision decision = Decision::NoMerge;
        double confidence = 0.0;
        std::optional<double> posterior;
    };

    // Judges a pair over prepared values without allocating: writes outcome_slots()
    // outcomes (unless an early step decided) and records the pair's telemetry sample,
    // copies times, when telemetry is given. Term frequencies adjust comparison-level
    // weights when given; without them exact agreements weigh by their level's u.
    [[nodiscard]] Verdict judge(const NormalizedEntity& a, const NormalizedEntity& b,
                                const PreparedValue* pa, const PreparedValue* pb,
                                const OverrideResolver& overrides, double f, RuleOutcome* outcomes,
                                TelemetryCollector* telemetry, std::uint64_t copies = 1,
                                const TermFrequencies* term_frequencies = nullptr) const;

    // What a pair decided before any rule ran matched on ("EXCLUDED", "MANUAL_SPLIT",
    // "REF_ID:<name>", ...); empty for Early::None.
    [[nodiscard]] std::string_view early_label(const Verdict& verdict) const;

    // The full decision of a judged pair: rule results, matched rules, explanations.
    [[nodiscard]] MatchDecision decision_of(const NormalizedEntity& a, const NormalizedEntity& b,
                                            const Verdict& verdict, const RuleOutcome* outcomes,
                                            double f) const;

    // How a pair's score under comparison levels is made up: the prior, each field's
    // level and weight, and the total with its probability. Only for engines with a
    // level model.
    struct Waterfall {
        double prior_weight = 0.0;
        std::vector<FieldWeight> fields;  // by model field
        double score = 0.0;
        double posterior = 0.0;
    };
    [[nodiscard]] Waterfall waterfall(const NormalizedEntity& a, const NormalizedEntity& b,
                                      const TermFrequencies* term_frequencies) const;

    [[nodiscard]] static bool matches_exclusion(const NormalizedEntity& entity,
                                                const plan::CompiledExclusion& exclusion);
    // True when any exclusion keeps the record out of blocking.
    [[nodiscard]] bool excluded_from_blocking(const NormalizedEntity& entity) const;

    [[nodiscard]] const std::vector<std::unique_ptr<BlockingStrategy>>& blocking_strategies()
        const {
        return blocking_;
    }
    [[nodiscard]] const std::vector<std::unique_ptr<MatchRule>>& rules() const { return rules_; }
    [[nodiscard]] const TemporalMatcher& temporal_matcher() const { return temporal_; }
    [[nodiscard]] const std::optional<std::uint64_t>& neighborhood_window() const {
        return neighborhood_window_;
    }
    [[nodiscard]] const std::vector<std::string>& sort_fields() const { return sort_fields_; }
    [[nodiscard]] const std::vector<plan::TieBreaker>& tie_breakers() const {
        return tie_breakers_;
    }
    [[nodiscard]] double merge_threshold() const { return merge_threshold_; }
    [[nodiscard]] double review_threshold() const { return review_threshold_; }
    [[nodiscard]] plan::ScoringMethod scoring_method() const { return scoring_method_; }

    // Unicode full lowercase, as the sorted-neighbourhood keys use it.
    [[nodiscard]] static std::string lowercase(std::string_view text);

  private:
    ReconciliationEngine() : temporal_(plan::TemporalStrategy::LatestOnly) {}

    struct EarlyOutcome {
        Early kind = Early::None;
        std::uint32_t reference = 0;
    };
    [[nodiscard]] EarlyOutcome early_outcome(const NormalizedEntity& a, const NormalizedEntity& b,
                                             const OverrideResolver& overrides) const;
    // Scores the rules' outcomes (one per rule, in order) and decides.
    [[nodiscard]] Verdict score(const RuleOutcome* outcomes, double f) const;
    // Classifies the comparison-level fields into the outcomes after the rules'.
    void weigh_levels(const PreparedValue* pa, const PreparedValue* pb,
                      const TermFrequencies* term_frequencies, RuleOutcome* outcomes) const;
    [[nodiscard]] std::string level_explanation(std::size_t k, const RuleOutcome& outcome) const;

    std::optional<std::uint64_t> neighborhood_window_;
    std::vector<std::string> sort_fields_;
    std::vector<std::unique_ptr<MatchRule>> rules_;
    std::vector<std::unique_ptr<BlockingStrategy>> blocking_;
    std::vector<plan::CompiledReferenceIdentifier> reference_identifiers_;
    std::vector<std::string> reference_labels_;  // "REF_ID:" and each identifier's name
    std::vector<plan::CompiledRelation> relations_;
    std::vector<plan::CompiledExclusion> exclusions_;
    std::vector<plan::TieBreaker> tie_breakers_;
    std::optional<Program> custom_expression_;
    std::optional<plan::CompiledFellegiSunterPlan> fellegi_sunter_;
    std::optional<LevelModel> levels_;
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
