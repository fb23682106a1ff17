#include "plan/plan_json.hpp"

#include <charconv>
#include <cstdint>
#include <string_view>
#include <type_traits>

#include "document/float_text.hpp"
#include "document/json_writer.hpp"

namespace velatro::plan {

using namespace std::string_view_literals;

namespace {

// One overload per value shape. The scalar and record overloads are declared before
// the container templates so that the templates see all of them.
void put(std::string& out, bool value) { out += value ? "true" : "false"; }
void put(std::string& out, double value) { document::append_json_float(out, value); }
void put(std::string& out, const std::string& value) { document::append_json_string(out, value); }
void put(std::string& out, std::string_view value) { document::append_json_string(out, value); }
void put(std::string& out, const document::Value& value) { document::append_json(out, value); }

template <class U>
    requires std::is_unsigned_v<U> && (!std::is_same_v<U, bool>)
void put(std::string& out, U value) {
    char buf[24];
    auto res = std::to_chars(buf, buf + sizeof buf, static_cast<std::uint64_t>(value));
    out.append(buf, res.ptr);
}

template <PlanEnum E>
void put(std::string& out, E value) {
    document::append_json_string(out, enum_name(value));
}

void put(std::string& out, const TemporalConfig& v);
void put(std::string& out, const CompiledFreshness& v);
void put(std::string& out, const CompiledFieldSchema& v);
void put(std::string& out, const CompiledSampling& v);
void put(std::string& out, const ResolvedSource& v);
void put(std::string& out, const BlockingKey& v);
void put(std::string& out, const CompiledBlocking& v);
void put(std::string& out, const CompiledRule& v);
void put(std::string& out, const MatchGraph& v);
void put(std::string& out, const FieldSurvivorshipPolicy& v);
void put(std::string& out, const SurvivorshipPolicy& v);
void put(std::string& out, const CompiledMlEnsembleConfig& v);
void put(std::string& out, const CompiledCustomScoringConfig& v);
void put(std::string& out, const CompiledFsLevel& v);
void put(std::string& out, const CompiledFsField& v);
void put(std::string& out, const CompiledEmTraining& v);
void put(std::string& out, const CompiledFellegiSunterPlan& v);
void put(std::string& out, const DecisionConfig& v);
void put(std::string& out, const CompiledReferenceIdentifier& v);
void put(std::string& out, const CompiledRelation& v);
void put(std::string& out, const CompiledExclusion& v);
void put(std::string& out, const CompiledCompliance& v);
void put(std::string& out, const CompiledHierarchy& v);
void put(std::string& out, const CompiledAudit& v);
void put(std::string& out, const PlanMetadata& v);
void put(std::string& out, const CompiledGovernance& v);

template <class T>
void put(std::string& out, const std::optional<T>& value);
template <class T>
void put(std::string& out, const std::vector<T>& items);
template <class T>
void put(std::string& out, const TextMap<T>& map);

template <class T>
void put(std::string& out, const std::optional<T>& value) {
    if (value)
        put(out, *value);
    else
        out += "null";
}

template <class T>
void put(std::string& out, const std::vector<T>& items) {
    out += '[';
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i != 0) out += ',';
        put(out, items[i]);
    }
    out += ']';
}

template <class T>
void put(std::string& out, const TextMap<T>& map) {
    out += '{';
    bool first = true;
    for (const auto& [key, value] : map) {
        if (!first) out += ',';
        first = false;
        document::append_json_string(out, key);
        out += ':';
        put(out, value);
    }
    out += '}';
}

// Writes one object member by member, in the order the calls come.
class Record {
public:
    explicit Record(std::string& out) : out_(out) { out_ += '{'; }
    ~Record() { out_ += '}'; }
    Record(const Record&) = delete;
    Record& operator=(const Record&) = delete;

    template <class T>
    Record& operator()(std::string_view key, const T& value) {
        if (!first_) out_ += ',';
        first_ = false;
        document::append_json_string(out_, key);
        out_ += ':';
        put(out_, value);
        return *this;
    }

private:
    std::string& out_;
    bool first_ = true;
};

void put(std::string& out, const TemporalConfig& v) {
    Record{out}("valid_from_field", v.valid_from_field)("valid_to_field", v.valid_to_field)(
        "strategy", v.strategy);
}

void put(std::string& out, const CompiledFreshness& v) {
    Record{out}("max_age_seconds", v.max_age_seconds)("warn_after_seconds", v.warn_after_seconds);
}

void put(std::string& out, const CompiledFieldSchema& v) {
    Record{out}("field_type", v.field_type)("pii", v.pii)("nullable", v.nullable);
}

void put(std::string& out, const CompiledSampling& v) {
    Record{out}("strategy", v.strategy)("rate", v.rate);
}

void put(std::string& out, const ResolvedSource& v) {
    Record{out}("name", v.name)("adapter", v.adapter)("location", v.location)(
        "id_field", v.id_field)("field_mappings", v.field_mappings)("temporal", v.temporal)(
        "freshness", v.freshness)("schema", v.schema)("sampling", v.sampling)("tags", v.tags)(
        "pii_fields", v.pii_fields);
}

void put(std::string& out, const BlockingKey& v) {
    Record{out}("fields", v.fields)("transformations", v.transformations);
}

void put(std::string& out, const CompiledBlocking& v) {
    Record{out}("strategy", v.strategy)("keys", v.keys)(
        "fallback_sample_rate", v.fallback_sample_rate)("lsh_bands", v.lsh_bands)(
        "lsh_rows", v.lsh_rows)("neighborhood_window", v.neighborhood_window)(
        "sort_fields", v.sort_fields);
}

struct RuleTypeWriter {
    std::string& out;
    void operator()(const CompiledExactRule& r) const {
        Record{out}("type", "exact"sv)("field", r.field)("weight", r.weight)(
            "case_insensitive", r.case_insensitive)("normalize", r.normalize);
    }
    void operator()(const CompiledSimilarityRule& r) const {
        Record{out}("type", "similarity"sv)("field", r.field)(
            "algorithm", r.algorithm)("threshold", r.threshold)("weight", r.weight)(
            "normalizer", r.normalizer);
    }
    void operator()(const CompiledRangeRule& r) const {
        Record{out}("type", "range"sv)("field", r.field)("tolerance", r.tolerance)(
            "weight", r.weight)("normalizer", r.normalizer);
    }
    void operator()(const CompiledCompositeRule& r) const {
        Record{out}("type", "composite"sv)("operator", r.op)("children", r.children);
    }
    void operator()(const CompiledMlRule& r) const {
        Record{out}("type", "ml"sv)("model_id", r.model_id)("features", r.features)(
            "threshold", r.threshold)("weight", r.weight);
    }
};

void put(std::string& out, const CompiledRule& v) {
    out += "{\"name\":";
    put(out, v.name);
    out += ",\"rule_type\":";
    std::visit(RuleTypeWriter{out}, v.rule_type);
    out += '}';
}

void put(std::string& out, const MatchGraph& v) {
    Record{out}("rules", v.rules)("leaf_count", v.leaf_count);
}

void put(std::string& out, const FieldSurvivorshipPolicy& v) {
    Record{out}("strategy", v.strategy)("source_priority", v.source_priority)(
        "aggregate_fn", v.aggregate_fn);
}

void put(std::string& out, const SurvivorshipPolicy& v) {
    Record{out}("default_strategy", v.default_strategy)("field_policies", v.field_policies);
}

void put(std::string& out, const CompiledMlEnsembleConfig& v) {
    Record{out}("coefficients", v.coefficients)("bias", v.bias);
}

void put(std::string& out, const CompiledCustomScoringConfig& v) {
    Record{out}("expression", v.expression);
}

void put(std::string& out, const CompiledFsLevel& v) {
    Record{out}("name", v.name)("comparator", v.comparator)("threshold", v.threshold)(
        "m_probability", v.m_probability)("u_probability", v.u_probability)("weight", v.weight);
}

void put(std::string& out, const CompiledFsField& v) {
    Record record{out};
    record("name", v.name)("comparator", v.comparator)("weight", v.weight)(
        "m_probability", v.m_probability)("u_probability", v.u_probability)(
        "w_agree", v.w_agree)("w_disagree", v.w_disagree)("normalizer", v.normalizer);
    // Fields without levels keep exactly the members (and hash) they always had.
    if (v.levels)
        record("levels", *v.levels)("term_frequency", v.term_frequency)(
            "term_frequency_min_u", v.term_frequency_min_u);
}

void put(std::string& out, const CompiledEmTraining& v) {
    Record{out}("max_iterations", v.max_iterations)(
        "convergence_threshold", v.convergence_threshold)("estimate_u", v.estimate_u)(
        "max_random_pairs", v.max_random_pairs);
}

void put(std::string& out, const CompiledFellegiSunterPlan& v) {
    Record record{out};
    record("fields", v.fields)("match_threshold", v.match_threshold)(
        "possible_threshold", v.possible_threshold)("non_match_threshold", v.non_match_threshold)(
        "max_composite", v.max_composite)("min_composite", v.min_composite)(
        "em_training", v.em_training);
    if (v.prior) record("prior", *v.prior);
}

void put(std::string& out, const DecisionConfig& v) {
    Record{out}("match_threshold", v.match_threshold)("review_threshold", v.review_threshold)(
        "reject_threshold", v.reject_threshold)("conflict_strategy", v.conflict_strategy)(
        "review_webhook", v.review_webhook)("scoring_method", v.scoring_method)(
        "ml_ensemble_config", v.ml_ensemble_config)(
        "custom_scoring_config", v.custom_scoring_config)("fellegi_sunter", v.fellegi_sunter)(
        "tie_breaking", v.tie_breaking);
}

void put(std::string& out, const CompiledReferenceIdentifier& v) {
    Record{out}("name", v.name)("id_type", v.id_type)("authority", v.authority)(
        "field", v.field)("match_weight", v.match_weight);
}

void put(std::string& out, const CompiledRelation& v) {
    Record{out}("name", v.name)("from_entity", v.from_entity)("to_entity", v.to_entity)(
        "join_key", v.join_key)("cardinality", v.cardinality)(
        "propagate_match", v.propagate_match);
}

struct ExclusionWriter {
    std::string& out;
    void operator()(const CompiledFieldValueExclusion& e) const {
        Record{out}("type", "field_value"sv)("field", e.field)("operator", e.op)(
            "value", e.value);
    }
    void operator()(const CompiledExplicitPairExclusion& e) const {
        Record{out}("type", "explicit_pair"sv)("left_id", e.left_id)(
            "right_id", e.right_id);
    }
    void operator()(const CompiledCrossTenantExclusion& e) const {
        Record{out}("type", "cross_tenant"sv)("enabled", e.enabled);
    }
};

void put(std::string& out, const CompiledExclusion& v) { std::visit(ExclusionWriter{out}, v); }

void put(std::string& out, const CompiledCompliance& v) {
    Record{out}("frameworks", v.frameworks)("pii_fields", v.pii_fields)(
        "audit_required", v.audit_required)("retention_days", v.retention_days);
}

void put(std::string& out, const CompiledHierarchy& v) {
    Record{out}("parent_field", v.parent_field)("max_depth", v.max_depth)(
        "inherited_fields", v.inherited_fields);
}

void put(std::string& out, const CompiledAudit& v) {
    Record{out}("log_all_comparisons", v.log_all_comparisons)("log_decisions", v.log_decisions)(
        "log_conflicts", v.log_conflicts);
}

void put(std::string& out, const PlanMetadata& v) {
    Record{out}("name", v.name)("description", v.description)("owner", v.owner)("tags", v.tags);
}

void put(std::string& out, const CompiledGovernance& v) {
    Record{out}("require_freshness", v.require_freshness)("require_schema", v.require_schema)(
        "required_tags", v.required_tags)("log_probabilities", v.log_probabilities)(
        "require_shadow_on_threshold_change", v.require_shadow_on_threshold_change);
}

void put(std::string& out, const IdentityPlan& v) {
    Record{out}("entity", v.entity)("plan_hash", v.plan_hash)(
        "identity_version", v.identity_version)("sources", v.sources)("blocking", v.blocking)(
        "match_graph", v.match_graph)("survivorship", v.survivorship)("decision", v.decision)(
        "reference_identifiers", v.reference_identifiers)("relations", v.relations)(
        "exclusions", v.exclusions)("compliance", v.compliance)("hierarchy", v.hierarchy)(
        "audit", v.audit)("metadata", v.metadata)("governance", v.governance);
}

template <class T>
std::string text_of(const T& value) {
    std::string out;
    put(out, value);
    return out;
}

}  // namespace

void append_json(std::string& out, const IdentityPlan& plan) { put(out, plan); }
void append_json(std::string& out, const CompiledRule& rule) { put(out, rule); }
void append_json(std::string& out, const CompiledExclusion& exclusion) { put(out, exclusion); }

std::string to_json(const IdentityPlan& plan) { return text_of(plan); }
std::string to_json(const CompiledRule& rule) { return text_of(rule); }
std::string to_json(const CompiledExclusion& exclusion) { return text_of(exclusion); }

}  // namespace velatro::plan
