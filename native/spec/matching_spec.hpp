#pragma once
// Matching records of the identity spec: rules, blocking and the decision section
// with its scoring settings.
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "spec/enums.hpp"

namespace velatro::spec {

struct ExactMatchOptions {
    bool case_insensitive = false;
    bool normalize = false;
    std::optional<std::string> normalizer;
};

struct SimilarityOptions {
    bool transliterate = false;
    bool ignore_titles = false;
    bool ignore_suffixes = false;
};

struct RuleSpec;

// The rule kinds. They live outside RuleSpec so that they are complete (and
// default-constructible) where RuleSpec's variant is declared; RuleSpec::Exact and
// the others name them.
struct ExactRule {
    std::string name;
    std::string field;
    double weight = 1.0;
    std::optional<ExactMatchOptions> options;
};

struct SimilarityRule {
    std::string name;
    std::string field;
    SimilarityAlgorithm algorithm = SimilarityAlgorithm::JaroWinkler;
    double threshold = 0.0;
    double weight = 1.0;
    std::optional<std::string> locale;
    std::optional<SimilarityOptions> options;
    std::optional<std::string> normalizer;
};

struct RangeRule {
    std::string name;
    std::string field;
    double tolerance = 0.0;
    double weight = 1.0;
    std::optional<std::string> normalizer;
};

struct CompositeRule {
    std::string name;
    CompositeOperator operator_ = CompositeOperator::And;  // YAML key `operator`
    std::vector<RuleSpec> children;
};

struct MlRule {
    std::string name;
    std::string model;
    std::vector<std::string> features;
    double threshold = 0.0;
    double weight = 1.0;
};

// One match rule; `type` in YAML selects the alternative held in `kind`.
// `field` may be written `fields` (a list whose first name is used).
struct RuleSpec {
    using Exact = ExactRule;
    using Similarity = SimilarityRule;
    using Range = RangeRule;
    using Composite = CompositeRule;
    using Ml = MlRule;

    std::variant<Exact, Similarity, Range, Composite, Ml> kind;

    // The rule's name, whatever its kind.
    [[nodiscard]] const std::string& name() const;
};

struct BlockingFallback {
    bool enabled = false;
    std::optional<double> sample_rate;
};

struct BlockingSpec {
    BlockingStrategy strategy = BlockingStrategy::Composite;
    std::vector<std::vector<std::string>> keys;
    std::optional<BlockingFallback> fallback;
};

struct ThresholdsSpec {
    double match = 0.0;
    std::optional<double> review;
    std::optional<double> reject;
};

struct ReviewQueueSpec {
    bool enabled = false;
    std::optional<std::string> webhook;
    std::optional<std::uint32_t> sla_hours;
};

struct AuditSpec {
    bool log_all_comparisons = false;
    bool log_decisions = false;
    bool log_conflicts = false;
};

struct MlEnsembleConfig {
    std::map<std::string, double> coefficients;
    double bias = 0.0;
};

struct CustomScoringConfig {
    std::string expression;
};

// One comparison level of a Fellegi-Sunter field (an opt-in extension): a comparator
// with its threshold, or "else", and the level's probabilities, which training fills
// in when they are left out.
struct FsLevelSpec {
    std::optional<std::string> name;
    FsLevelComparator comparator = FsLevelComparator::Else;
    std::optional<double> threshold;
    std::optional<double> m_probability;
    std::optional<double> u_probability;
};

struct FsFieldSpec {
    std::string name;
    FsComparator comparator = FsComparator::Exact;
    double weight = 1.0;
    // Required unless the field lists levels; 0 when left out.
    double m_probability = 0.0;
    double u_probability = 0.0;
    std::optional<std::string> normalizer;
    // The extension keys; a field that uses none of them reads exactly as before.
    std::optional<std::vector<FsLevelSpec>> levels;
    bool term_frequency = false;
    std::optional<double> term_frequency_min_u;

    // Whether the field opts into scoring by comparison levels.
    [[nodiscard]] bool uses_levels() const { return levels.has_value() || term_frequency; }
};

struct FsThresholds {
    double match = 0.0;
    double possible = 0.0;
    double non_match = 0.0;
};

std::string default_training_method();

struct FsTrainingConfig {
    std::string method = default_training_method();
    std::uint64_t max_iterations = 25;
    double convergence_threshold = 0.001;
    std::optional<std::string> estimate_u;
    std::uint64_t max_random_pairs = 1000000;
};

struct ScoringSpec {
    ScoringMethod method = ScoringMethod::WeightedSum;
    std::optional<std::string> normalization;
    std::optional<MlEnsembleConfig> ml_ensemble;
    std::optional<CustomScoringConfig> custom;
    std::optional<ScoringStrategy> strategy;
    std::optional<std::vector<FsFieldSpec>> fields;
    std::optional<FsThresholds> thresholds;
    std::optional<FsTrainingConfig> training;
    // Scoring by comparison levels: the probability that two records drawn at random
    // are the same entity.
    std::optional<double> prior;
};

struct DecisionSpec {
    std::optional<ScoringSpec> scoring;
    ThresholdsSpec thresholds;
    ConflictStrategy conflict_strategy = ConflictStrategy::PreferHighConfidence;
    std::optional<ReviewQueueSpec> review_queue;
    std::optional<AuditSpec> audit;
    std::optional<std::vector<TieBreaker>> tie_breaking;
};

}  // namespace velatro::spec
