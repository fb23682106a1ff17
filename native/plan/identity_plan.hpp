#pragma once
// The identity plan: the compiled, typed form of an identity spec that the engine
// executes. Defaults are already applied and every optional section is either
// present in full or absent. A plan is built once by the spec compiler and only read
// afterwards.
//
// Map-valued fields are ordered maps: the plan hash digests them in key order, which
// keeps the hash reproducible whatever order the spec listed them in.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "document/value.hpp"
#include "plan/compiled_rule.hpp"
#include "plan/enums.hpp"

namespace velatro::plan {

template <class T>
using TextMap = std::map<std::string, T, std::less<>>;

// ---- sources ----------------------------------------------------------------------

struct TemporalConfig {
    std::string valid_from_field;
    std::optional<std::string> valid_to_field;
    TemporalStrategy strategy = TemporalStrategy::LatestOnly;
};

struct CompiledFreshness {
    std::uint64_t max_age_seconds = 0;
    std::optional<std::uint64_t> warn_after_seconds;
};

struct CompiledFieldSchema {
    std::string field_type;
    bool pii = false;
    bool nullable = false;
};

struct CompiledSampling {
    std::string strategy;  // "random", "stratified" or "timebased"
    double rate = 0.0;
};

struct ResolvedSource {
    std::string name;
    std::string adapter;
    std::string location;
    std::string id_field;
    TextMap<std::string> field_mappings;
    std::optional<TemporalConfig> temporal;
    std::optional<CompiledFreshness> freshness;
    std::optional<TextMap<CompiledFieldSchema>> schema;
    std::optional<CompiledSampling> sampling;
    std::vector<std::string> tags;
    std::vector<std::string> pii_fields;
};

// ---- blocking ---------------------------------------------------------------------

struct BlockingKey {
    std::vector<std::string> fields;
    std::vector<BlockingTransformation> transformations;
};

struct CompiledBlocking {
    BlockingStrategy strategy = BlockingStrategy::Composite;
    std::vector<BlockingKey> keys;
    std::optional<double> fallback_sample_rate;
    // Absent LSH settings stay absent here; the engine supplies its own defaults.
    std::optional<std::uint64_t> lsh_bands;
    std::optional<std::uint64_t> lsh_rows;
    std::optional<std::uint64_t> neighborhood_window;
    std::vector<std::string> sort_fields;
};

// ---- matching ---------------------------------------------------------------------

struct MatchGraph {
    std::vector<CompiledRule> rules;
    std::uint64_t leaf_count = 0;  // non-composite rules anywhere in the tree
};

// ---- survivorship -----------------------------------------------------------------

struct FieldSurvivorshipPolicy {
    SurvivorshipStrategy strategy = SurvivorshipStrategy::MostRecent;
    std::optional<std::vector<std::string>> source_priority;
    std::optional<std::string> aggregate_fn;  // "Max", "Min", "Sum", "Avg", "Union", ...
};

struct SurvivorshipPolicy {
    SurvivorshipStrategy default_strategy = SurvivorshipStrategy::MostRecent;
    TextMap<FieldSurvivorshipPolicy> field_policies;
};

// ---- scoring and decisions --------------------------------------------------------

struct CompiledMlEnsembleConfig {
    TextMap<double> coefficients;  // by rule name
    double bias = 0.0;
};

struct CompiledCustomScoringConfig {
    std::string expression;
};

// One comparison level of a field that uses levels. A pair falls into the first level
// whose condition its two values meet; m and u are the probabilities of that among
// matches and non-matches, and the level adds weight = field weight x log2(m / u) to the
// pair's score. A level whose m or u is not known yet (a spec written for training)
// weighs 0.
struct CompiledFsLevel {
    std::string name;
    FsLevelComparator comparator = FsLevelComparator::Else;
    double threshold = 1.0;  // similarity comparators: met when the score >= threshold
    std::optional<double> m_probability;
    std::optional<double> u_probability;
    double weight = 0.0;
};

struct CompiledFsField {
    std::string name;  // the match rule whose score this field reads
    FsComparatorType comparator = FsComparatorType::Exact;
    double weight = 0.0;
    double m_probability = 0.0;
    double u_probability = 0.0;
    double w_agree = 0.0;
    double w_disagree = 0.0;
    std::optional<std::string> normalizer;
    // Present only when the plan scores by comparison levels (every field then has
    // them, ending with an "else" level); these three members are written to the plan's
    // JSON only then, so plans without levels keep their text and hash.
    std::optional<std::vector<CompiledFsLevel>> levels;
    // Exact agreement weighs log2(m / frequency of the value) instead of log2(m / u).
    bool term_frequency = false;
    // The smallest frequency that adjustment uses, so a value seen once cannot
    // outweigh everything else.
    std::optional<double> term_frequency_min_u;

    [[nodiscard]] bool has_levels() const { return levels.has_value(); }
};

struct CompiledEmTraining {
    std::uint64_t max_iterations = 0;
    double convergence_threshold = 0.0;
    std::optional<std::string> estimate_u;
    std::uint64_t max_random_pairs = 0;
};

struct CompiledFellegiSunterPlan {
    std::vector<CompiledFsField> fields;
    double match_threshold = 0.0;
    double possible_threshold = 0.0;
    double non_match_threshold = 0.0;
    double max_composite = 0.0;
    double min_composite = 0.0;
    std::optional<CompiledEmTraining> em_training;
    // Scoring by comparison levels: the prior probability that two records drawn at
    // random are the same entity. Present exactly when the fields have levels, and
    // written to the plan's JSON only then.
    std::optional<double> prior;

    [[nodiscard]] bool uses_levels() const { return prior.has_value(); }
};

struct DecisionConfig {
    double match_threshold = 0.0;
    std::optional<double> review_threshold;
    std::optional<double> reject_threshold;
    ConflictStrategy conflict_strategy = ConflictStrategy::PreferHighConfidence;
    std::optional<std::string> review_webhook;
    ScoringMethod scoring_method = ScoringMethod::WeightedSum;
    std::optional<CompiledMlEnsembleConfig> ml_ensemble_config;
    std::optional<CompiledCustomScoringConfig> custom_scoring_config;
    std::optional<CompiledFellegiSunterPlan> fellegi_sunter;
    std::vector<TieBreaker> tie_breaking;
};

// ---- identifiers, relations, exclusions -------------------------------------------

struct CompiledReferenceIdentifier {
    std::string name;
    ReferenceIdType id_type = ReferenceIdType::External;
    std::optional<std::string> authority;
    std::string field;
    double match_weight = 0.0;
};

struct CompiledRelation {
    std::string name;
    std::string from_entity;
    std::string to_entity;
    std::string join_key;
    Cardinality cardinality = Cardinality::OneToOne;
    bool propagate_match = false;
};

struct CompiledFieldValueExclusion {
    std::string field;
    std::string op;  // written as "operator"
    document::Value value;
};

struct CompiledExplicitPairExclusion {
    std::string left_id;
    std::string right_id;
};

struct CompiledCrossTenantExclusion {
    bool enabled = false;
};

// Alternatives in the order of their JSON tags: field_value, explicit_pair, cross_tenant.
using CompiledExclusion = std::variant<CompiledFieldValueExclusion, CompiledExplicitPairExclusion,
                                       CompiledCrossTenantExclusion>;

// ---- carried sections -------------------------------------------------------------

struct CompiledCompliance {
    std::vector<std::string> frameworks;
    std::vector<std::string> pii_fields;
    bool audit_required = false;
    std::optional<std::uint32_t> retention_days;
};

struct CompiledHierarchy {
    std::string parent_field;
    std::uint8_t max_depth = 0;
    std::vector<std::string> inherited_fields;
};

struct CompiledAudit {
    bool log_all_comparisons = false;
    bool log_decisions = false;
    bool log_conflicts = false;
};

struct PlanMetadata {
    std::optional<std::string> name;
    std::optional<std::string> description;
    std::optional<std::string> owner;
    std::vector<std::string> tags;
};

struct CompiledGovernance {
    bool require_freshness = false;
    bool require_schema = false;
    std::vector<std::string> required_tags;
    bool log_probabilities = false;
    bool require_shadow_on_threshold_change = false;
};

// ---- the plan ---------------------------------------------------------------------

struct IdentityPlan {
    std::string entity;
    std::string plan_hash;
    std::string identity_version;
    std::vector<ResolvedSource> sources;
    CompiledBlocking blocking;
    MatchGraph match_graph;
    SurvivorshipPolicy survivorship;
    DecisionConfig decision;
    std::vector<CompiledReferenceIdentifier> reference_identifiers;
    std::vector<CompiledRelation> relations;
    std::vector<CompiledExclusion> exclusions;
    std::optional<CompiledCompliance> compliance;
    std::optional<CompiledHierarchy> hierarchy;
    CompiledAudit audit;
    std::optional<PlanMetadata> metadata;
    std::optional<CompiledGovernance> governance;

    // SHA-256 of the plan's compact JSON text, as 64 lower-case hex digits. The
    // current plan_hash member takes part, so the compiler clears it first.
    [[nodiscard]] std::string compute_hash() const;
};

// The tag of an exclusion kind: "field_value", "explicit_pair", "cross_tenant".
std::string_view exclusion_tag(const CompiledExclusion& exclusion);

}  // namespace velatro::plan
