#include "engine/compiler.hpp"

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <set>
#include <utility>

#include "document/float_text.hpp"
#include "engine/expression.hpp"
#include "engine/log.hpp"

namespace velatro::engine {

namespace {

namespace sp = spec;
using namespace plan;

template <class T, class Map>
TextMap<T> copy_map(const Map& map) {
    return TextMap<T>(map.begin(), map.end());
}

// ---- sources ----------------------------------------------------------------------

// The sampling strategy as the plan spells it: the variant name lower-cased, so
// time_based loses its underscore.
std::string sampling_name(sp::SamplingStrategy strategy) {
    static constexpr std::array<std::string_view, 3> kNames{"random", "stratified",
                                                            "timebased"};
    static_assert(kNames.size() == sp::EnumInfo<sp::SamplingStrategy>::names.size());
    return std::string(kNames[static_cast<std::size_t>(strategy)]);
}

ResolvedSource resolve_source(const sp::SourceSpec& source) {
    ResolvedSource out;
    out.name = source.name;
    out.adapter = source.resolved_adapter();
    out.location = source.resolved_location();
    out.id_field = source.resolved_primary_key();
    out.field_mappings = copy_map<std::string>(source.attributes);
    if (source.temporal)
        out.temporal = TemporalConfig{source.temporal->valid_from, source.temporal->valid_to,
                                      source.temporal->strategy};
    if (source.freshness) {
        CompiledFreshness freshness;
        freshness.max_age_seconds = SpecCompiler::parse_duration(source.freshness->max_age);
        if (source.freshness->warn_after)
            freshness.warn_after_seconds =
                SpecCompiler::parse_duration(*source.freshness->warn_after);
        out.freshness = freshness;
    }
    if (source.schema) {
        TextMap<CompiledFieldSchema> schema;
        for (const auto& [field, definition] : *source.schema)
            schema.emplace(field,
                           CompiledFieldSchema{definition.type, definition.pii, definition.nullable});
        out.schema = std::move(schema);
    }
    if (source.sampling)
        out.sampling = CompiledSampling{sampling_name(source.sampling->strategy),
                                        source.sampling->rate};
    out.tags = source.tags;
    out.pii_fields = source.pii_fields();
    return out;
}

// ---- blocking ---------------------------------------------------------------------

CompiledBlocking compile_blocking(const std::optional<sp::BlockingSpec>& blocking) {
    CompiledBlocking out;  // no section: composite strategy without keys
    if (!blocking) return out;
    out.strategy = blocking->strategy;
    for (const auto& fields : blocking->keys)
        out.keys.push_back(BlockingKey{fields, SpecCompiler::infer_transformations(fields)});
    if (blocking->fallback && blocking->fallback->sample_rate)
        out.fallback_sample_rate = *blocking->fallback->sample_rate;
    out.neighborhood_window = 50;
    return out;
}

// ---- rules ------------------------------------------------------------------------

struct RuleCompiler {
    CompiledRuleType operator()(const sp::RuleSpec::Exact& r) const {
        CompiledExactRule out{r.field, r.weight, false, false, std::nullopt};
        if (r.options) {
            out.case_insensitive = r.options->case_insensitive;
            out.normalize = r.options->normalize;
            out.normalizer = r.options->normalizer;
        }
        return out;
    }
    CompiledRuleType operator()(const sp::RuleSpec::Similarity& r) const {
        return CompiledSimilarityRule{r.field, r.algorithm,
                                      r.threshold, r.weight, r.normalizer};
    }
    CompiledRuleType operator()(const sp::RuleSpec::Range& r) const {
        return CompiledRangeRule{r.field, r.tolerance, r.weight, r.normalizer};
    }
    CompiledRuleType operator()(const sp::RuleSpec::Composite& r) const {
        CompiledCompositeRule out{r.operator_, {}};
        out.children.reserve(r.children.size());
        for (const auto& child : r.children) out.children.push_back(SpecCompiler::compile_rule(child));
        return out;
    }
    CompiledRuleType operator()(const sp::RuleSpec::Ml& r) const {
        return CompiledMlRule{r.model, r.features, r.threshold, r.weight};
    }
};

std::uint64_t count_leaves(const std::vector<CompiledRule>& rules) {
    std::uint64_t count = 0;
    for (const auto& rule : rules) {
        if (const auto* composite = std::get_if<CompiledCompositeRule>(&rule.rule_type))
            count += count_leaves(composite->children);
        else
            ++count;
    }
    return count;
}

// The rule a Fellegi-Sunter field reads: exact or a similarity of the same name, over
// the entity field that has the field's name.
CompiledRule fellegi_sunter_rule(const sp::FsFieldSpec& field) {
    if (field.comparator == sp::FsComparator::Exact)
        return {field.name,
                CompiledExactRule{field.name, field.weight, false, false, field.normalizer}};
    auto name = sp::to_name(field.comparator);
    auto algorithm = enum_from_name<SimilarityAlgorithm>(name);
    return {field.name,
            CompiledSimilarityRule{field.name, *algorithm, 0.0, field.weight, field.normalizer}};
}

// ---- survivorship -----------------------------------------------------------------

SurvivorshipPolicy compile_survivorship(const std::optional<sp::SurvivorshipSpec>& section) {
    // Aggregate functions are named with a capital initial in the plan.
    static constexpr std::array<std::string_view, 6> kAggregateNames{
        "Max", "Min", "Sum", "Avg", "Union", "Intersection"};
    static_assert(kAggregateNames.size() == sp::EnumInfo<sp::AggregateFunction>::names.size());

    SurvivorshipPolicy out;
    if (!section) return out;
    out.default_strategy = section->default_;
    for (const auto& override_ : section->overrides) {
        FieldSurvivorshipPolicy policy;
        policy.strategy = override_.strategy;
        if (!override_.priority.empty()) policy.source_priority = override_.priority;
        if (override_.function)
            policy.aggregate_fn =
                std::string(kAggregateNames[static_cast<std::size_t>(*override_.function)]);
        out.field_policies.insert_or_assign(override_.field, std::move(policy));
    }
    return out;
}

// ---- scoring ----------------------------------------------------------------------

CompiledFsField fellegi_sunter_field(const sp::FsFieldSpec& field) {
    constexpr double kMax = std::numeric_limits<double>::max();
    const double w = field.weight;
    const double m = field.m_probability;
    const double u = field.u_probability;
    CompiledFsField out;
    out.name = field.name;
    out.comparator = field.comparator;
    out.weight = w;
    out.m_probability = m;
    out.u_probability = u;
    // Probabilities outside (0, 1) are not rejected: the logarithms give infinities
    // or NaN, and a u of 0 or 1 is capped at the largest finite weight.
    out.w_agree = u > 0.0 ? w * std::log(m / u) : w * kMax;
    out.w_disagree = 1.0 - u > 0.0 ? w * std::log((1.0 - m) / (1.0 - u)) : w * -kMax;
    out.normalizer = field.normalizer;
    return out;
}

// ---- comparison levels ------------------------------------------------------------

std::string default_level_name(FsLevelComparator comparator, double threshold) {
    std::string name(enum_name(comparator));
    if (comparator != FsLevelComparator::Exact && comparator != FsLevelComparator::Else)
        name += " >= " + document::plain_float(threshold);
    return name;
}

CompiledFsLevel compiled_level(const sp::FsLevelSpec& level) {
    CompiledFsLevel out;
    out.comparator = level.comparator;
    out.threshold = level.threshold.value_or(1.0);
    out.name = level.name ? *level.name : default_level_name(out.comparator, out.threshold);
    out.m_probability = level.m_probability;
    out.u_probability = level.u_probability;
    return out;
}

// The probability an "else" level is left with: what the levels before it leave of 1,
// unknown when one of theirs is unknown.
std::optional<double> remainder(const std::vector<CompiledFsLevel>& levels,
                                std::optional<double> CompiledFsLevel::*p) {
    double sum = 0.0;
    for (const auto& level : levels) {
        if (!(level.*p)) return std::nullopt;
        sum += *(level.*p);
    }
    return std::max(0.0, 1.0 - sum);
}

// A field's levels as the engine scores them: the spec's own, or for a field without
// any the two levels its m and u describe (its comparator scoring 1, and the rest);
// always ending with an "else" level.
std::vector<CompiledFsLevel> compile_levels(const sp::FsFieldSpec& field) {
    std::vector<CompiledFsLevel> out;
    if (field.levels) {
        for (const auto& level : *field.levels) out.push_back(compiled_level(level));
    } else {
        auto comparator = enum_from_name<FsLevelComparator>(sp::to_name(field.comparator));
        sp::FsLevelSpec agree{std::nullopt, *comparator, std::nullopt, field.m_probability,
                              field.u_probability};
        out.push_back(compiled_level(agree));
    }
    if (out.empty() || out.back().comparator != FsLevelComparator::Else) {
        CompiledFsLevel rest;
        rest.name = default_level_name(FsLevelComparator::Else, 1.0);
        rest.m_probability = remainder(out, &CompiledFsLevel::m_probability);
        rest.u_probability = remainder(out, &CompiledFsLevel::u_probability);
        out.push_back(std::move(rest));
    }
    for (auto& level : out)
        level.weight = level.m_probability && level.u_probability
                           ? field.weight * std::log2(*level.m_probability / *level.u_probability)
                           : 0.0;
    return out;
}

bool uses_levels(const std::vector<sp::FsFieldSpec>& fields) {
    for (const auto& field : fields)
        if (field.uses_levels()) return true;
    return false;
}

CompiledFellegiSunterPlan fellegi_sunter_plan(const std::vector<sp::FsFieldSpec>& fields,
                                              const sp::FsThresholds& thresholds,
                                              const std::optional<sp::FsTrainingConfig>& training,
                                              std::optional<double> prior) {
    CompiledFellegiSunterPlan out;
    out.match_threshold = thresholds.match;
    out.possible_threshold = thresholds.possible;
    out.non_match_threshold = thresholds.non_match;
    // Summed from -0.0 so that an empty plan keeps the sign of an empty sum.
    out.max_composite = -0.0;
    out.min_composite = -0.0;
    const bool levels = uses_levels(fields);
    for (const auto& field : fields) {
        out.fields.push_back(fellegi_sunter_field(field));
        out.max_composite += out.fields.back().w_agree;
        out.min_composite += out.fields.back().w_disagree;
        if (levels) {
            CompiledFsField& compiled = out.fields.back();
            compiled.levels = compile_levels(field);
            compiled.term_frequency = field.term_frequency;
            compiled.term_frequency_min_u = field.term_frequency_min_u;
        }
    }
    // Without a prior the score is the plain sum of the level weights (even odds).
    if (levels) out.prior = prior.value_or(0.5);
    if (training && training->method == "em")
        out.em_training = CompiledEmTraining{training->max_iterations,
                                             training->convergence_threshold,
                                             training->estimate_u, training->max_random_pairs};
    return out;
}

void compile_scoring(const sp::ScoringSpec& scoring, DecisionConfig& out,
                     CompiledExpression& expression) {
    out.scoring_method = scoring.method;
    if (scoring.ml_ensemble)
        out.ml_ensemble_config = CompiledMlEnsembleConfig{
            copy_map<double>(scoring.ml_ensemble->coefficients), scoring.ml_ensemble->bias};
    if (scoring.custom && !scoring.custom->expression.empty()) {
        const std::string& text = scoring.custom->expression;
        // Only a check: the plan keeps the text as written, and an engine built from it
        // falls back to weighted-sum scoring if it is invalid. The compiled form is handed
        // on so that engine need not compile the text again.
        expression = compile_expression(text);
        if (!expression->ok())
            log(LogLevel::Error, kCompilerLogTarget,
                "Invalid custom scoring expression: " + expression->error().display());
        out.custom_scoring_config = CompiledCustomScoringConfig{text};
    }
    if (scoring.strategy == sp::ScoringStrategy::FellegiSunter) {
        out.scoring_method = ScoringMethod::FellegiSunter;
        if (scoring.fields && scoring.thresholds)
            out.fellegi_sunter = fellegi_sunter_plan(*scoring.fields, *scoring.thresholds,
                                                     scoring.training, scoring.prior);
    }
}

DecisionConfig compile_decision(const sp::DecisionSpec& decision, CompiledExpression& expression) {
    DecisionConfig out;
    if (decision.scoring) compile_scoring(*decision.scoring, out, expression);
    out.match_threshold = decision.thresholds.match;
    out.review_threshold = decision.thresholds.review;
    out.reject_threshold = decision.thresholds.reject;
    out.conflict_strategy = decision.conflict_strategy;
    if (decision.review_queue) out.review_webhook = decision.review_queue->webhook;
    if (decision.tie_breaking) {
        for (auto tie_breaker : *decision.tie_breaking)
            out.tie_breaking.push_back(tie_breaker);
    } else {
        out.tie_breaking = {TieBreaker::LowestEntityId};
    }
    return out;
}

// ---- the rest ---------------------------------------------------------------------

struct ExclusionCompiler {
    CompiledExclusion operator()(const sp::ExclusionSpec::FieldValue& e) const {
        return CompiledFieldValueExclusion{e.field, e.operator_, e.value};
    }
    // The pair is matched against the entities' external ids; the source it names
    // plays no part.
    CompiledExclusion operator()(const sp::ExclusionSpec::ExplicitPair& e) const {
        return CompiledExplicitPairExclusion{e.left_id_field, e.right_id_field};
    }
    CompiledExclusion operator()(const sp::ExclusionSpec::CrossTenant& e) const {
        return CompiledCrossTenantExclusion{e.enabled};
    }
};

// ---- text helpers -----------------------------------------------------------------

std::string_view trim_white_space(std::string_view text) {
    const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length = static_cast<std::int32_t>(text.size());
    std::int32_t begin = 0;
    while (begin < length) {
        std::int32_t next = begin;
        UChar32 c;
        U8_NEXT(s, next, length, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        begin = next;
    }
    std::int32_t end = length;
    while (end > begin) {
        std::int32_t previous = end;
        UChar32 c;
        U8_PREV(s, begin, previous, c);
        if (c < 0 || !u_isUWhiteSpace(c)) break;
        end = previous;
    }
    return text.substr(static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
}

// Unsigned decimal: an optional "+" and at least one digit, within 64 bits.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string full_lowercase(const std::string& text) {
    std::string out;
    icu::UnicodeString::fromUTF8(text).toLower(icu::Locale::getRoot()).toUTF8String(out);
    return out;
}

}  // namespace

plan::CompiledRule SpecCompiler::compile_rule(const spec::RuleSpec& rule) {
    return CompiledRule{rule.name(), std::visit(RuleCompiler{}, rule.kind)};
}

std::vector<plan::BlockingTransformation> SpecCompiler::infer_transformations(
    const std::vector<std::string>& fields) {
    using T = BlockingTransformation;
    struct Test {
        std::initializer_list<std::string_view> contains;
        T transformation;
    };
    // The first test that holds decides; plain substring tests, so "hotel_name"
    // counts as a phone field (it contains "tel").
    static const std::array<Test, 9> kTests{{
        {{"initial"}, T::FirstInitial},
        {{"soundex"}, T::Soundex},
        {{"area_code"}, T::AreaCode},
        {{"last4", "last_4"}, T::Last4},
        {{"trigram"}, T::Trigrams},
        {{"phone", "mobile", "cell", "tel"}, T::NormalizePhone},
        {{"email"}, T::NormalizeEmail},
        {{"name"}, T::NormalizeName},
        {{"website", "domain", "url"}, T::NormalizeDomain},
    }};
    std::vector<T> out;
    for (const auto& field : fields) {
        const std::string lower = full_lowercase(field);
        for (const auto& test : kTests) {
            bool holds = lower == "homepage" && test.transformation == T::NormalizeDomain;
            for (auto needle : test.contains) holds = holds || lower.find(needle) != std::string::npos;
            if (holds) {
                out.push_back(test.transformation);
                break;
            }
        }
    }
    if (out.empty()) out.push_back(T::Lowercase);
    return out;
}

std::uint64_t SpecCompiler::parse_duration(std::string_view text) {
    text = trim_white_space(text);
    if (text.empty()) return 0;
    std::uint64_t unit = 1;
    switch (text.back()) {
        case 'd': unit = 86400; break;
        case 'h': unit = 3600; break;
        case 'm': unit = 60; break;
        case 's': unit = 1; break;
        default: unit = 0;
    }
    if (unit != 0) text.remove_suffix(1);
    auto number = parse_unsigned(text);
    if (!number) return 0;
    // Unsigned arithmetic wraps modulo 2^64, as a huge duration should not fail.
    return unit == 0 ? *number : *number * unit;
}

plan::IdentityPlan SpecCompiler::compile(const spec::IdentitySpec& spec) {
    CompiledExpression unused;
    return compile(spec, unused);
}

plan::IdentityPlan SpecCompiler::compile(const spec::IdentitySpec& spec,
                                         CompiledExpression& expression) {
    expression.reset();
    IdentityPlan plan;
    plan.entity = spec.entity.name;
    plan.identity_version = spec.identity_version;

    for (const auto& source : spec.sources) plan.sources.push_back(resolve_source(source));

    plan.blocking = compile_blocking(spec.blocking);

    auto& rules = plan.match_graph.rules;
    for (const auto& rule : spec.rules) rules.push_back(compile_rule(rule));
    const auto& scoring = spec.decision.scoring;
    if (scoring && scoring->strategy == sp::ScoringStrategy::FellegiSunter && scoring->fields) {
        // Only the spec's own rules shadow a generated one; two Fellegi-Sunter fields
        // of the same name both add a rule.
        std::set<std::string, std::less<>> spec_names;
        for (const auto& rule : rules) spec_names.insert(rule.name);
        for (const auto& field : *scoring->fields)
            if (!spec_names.contains(field.name)) rules.push_back(fellegi_sunter_rule(field));
    }
    plan.match_graph.leaf_count = count_leaves(rules);

    plan.survivorship = compile_survivorship(spec.survivorship);
    plan.decision = compile_decision(spec.decision, expression);

    if (spec.reference_identifiers)
        for (const auto& id : *spec.reference_identifiers)
            plan.reference_identifiers.push_back(CompiledReferenceIdentifier{
                id.name, id.type, id.authority, id.field,
                id.match_weight});
    if (spec.relations)
        for (const auto& r : *spec.relations)
            plan.relations.push_back(CompiledRelation{r.name, r.from_entity, r.to_entity,
                                                      r.join_key,
                                                      r.cardinality,
                                                      r.propagate_match});
    if (spec.exclusions)
        for (const auto& e : *spec.exclusions)
            plan.exclusions.push_back(std::visit(ExclusionCompiler{}, e.kind));

    if (const auto& c = spec.entity.compliance)
        plan.compliance =
            CompiledCompliance{c->frameworks, c->pii_fields, c->audit_required, c->retention_days};
    if (const auto& h = spec.entity.hierarchy)
        plan.hierarchy = CompiledHierarchy{h->parent_field, h->depth, h->inheritance};
    if (const auto& a = spec.decision.audit)
        plan.audit = CompiledAudit{a->log_all_comparisons, a->log_decisions, a->log_conflicts};
    if (const auto& m = spec.metadata)
        plan.metadata = PlanMetadata{m->name, m->description, m->owner, m->tags};
    if (const auto& g = spec.governance)
        plan.governance = CompiledGovernance{g->require_freshness, g->require_schema,
                                             g->required_tags, g->log_probabilities,
                                             g->require_shadow_on_threshold_change};

    // The hash covers the plan with an empty plan_hash.
    plan.plan_hash.clear();
    plan.plan_hash = plan.compute_hash();
    return plan;
}

}  // namespace velatro::engine
