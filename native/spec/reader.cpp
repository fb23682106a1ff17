// The record tables of the identity spec and the few values whose reading is not
// decided by their type alone: the forms of `sources` and `scoring`, the `type`
// tagged rules and exclusions, `field`/`fields` and freshness.
#include "spec/reader.hpp"

#include <utility>

#include "spec/record_reading.hpp"

namespace velatro::spec {

using document::Node;
using document::ReadError;

// Values read whole, where the tagged and untagged forms live.
void read_value(const Cursor& c, RuleSpec& out);
void read_value(const Cursor& c, ExclusionSpec& out);
void read_value(const Cursor& c, FreshnessSpec& out);
void read_value(const Cursor& c, FsFieldSpec& out);

namespace {

bool is_string(const Node& n) {
    return n.is_scalar() && resolved(n).kind == document::ScalarKind::String;
}

// `field` may also be written `fields`: a list of which only the first name counts.
void read_field_name(const Cursor& c, std::string& out) {
    const Node& n = c.node();
    if (is_string(n)) {
        out = n.text;
        return;
    }
    if (n.is_sequence()) {
        bool all_strings = true;
        for (const auto& item : n.items) all_strings = all_strings && is_string(item);
        if (all_strings) {
            if (n.items.empty()) c.fail("fields array cannot be empty");
            out = n.items.front().text;
            return;
        }
    }
    c.fail("data did not match any variant of untagged enum FieldOrFields");
}

template <auto Member>
constexpr auto field_or_fields() {
    using R = typename member_traits<decltype(Member)>::record;
    return FieldDef<R>{"field", "fields", Need::Required,
                       [](R& r, const Cursor& c) { read_field_name(c, r.*Member); }};
}

// A Fellegi-Sunter field written with the comparison-level keys: its own m and u are
// then optional, as the levels carry the probabilities.
struct FsFieldKeys {
    std::string name;
    FsComparator comparator = FsComparator::Exact;
    double weight = 1.0;
    std::optional<double> m_probability;
    std::optional<double> u_probability;
    std::optional<std::string> normalizer;
    std::optional<std::vector<FsLevelSpec>> levels;
    bool term_frequency = false;
    std::optional<double> term_frequency_min_u;
};

// The freshness keys as written; the hours forms are folded in afterwards.
struct FreshnessKeys {
    std::optional<std::string> max_age;
    std::optional<std::uint32_t> max_age_hours;
    std::optional<std::string> warn_after;
    std::optional<std::uint32_t> warn_after_hours;
};

void read_sources(IdentitySpec& spec, const Cursor& at);
void read_scoring(DecisionSpec& decision, const Cursor& at);

}  // namespace

// ---- record tables ---------------------------------------------------------------

#define RECORD(R, NAME)                                \
    template <>                                        \
    struct RecordInfo<R> {                             \
        static constexpr std::string_view name = NAME; \
        static constexpr FieldDef<R> fields[] =
#define END_RECORD \
    ;              \
    }

constexpr Need Req = Need::Required;

RECORD(MetadataSpec, "struct MetadataSpec"){
    field<&MetadataSpec::name>("name"),
    field<&MetadataSpec::description>("description"),
    field<&MetadataSpec::owner>("owner"),
    field<&MetadataSpec::tags>("tags"),
} END_RECORD;

RECORD(ComplianceSpec, "struct ComplianceSpec"){
    field<&ComplianceSpec::frameworks>("frameworks"),
    field<&ComplianceSpec::pii_fields>("pii_fields"),
    field<&ComplianceSpec::audit_required>("audit_required"),
    field<&ComplianceSpec::retention_days>("retention_days"),
} END_RECORD;

RECORD(HierarchySpec, "struct HierarchySpec"){
    field<&HierarchySpec::parent_field>("parent_field", Req),
    field<&HierarchySpec::depth>("depth"),
    field<&HierarchySpec::inheritance>("inheritance"),
} END_RECORD;

RECORD(EntitySpec, "struct EntitySpec"){
    field<&EntitySpec::name>("name", Req),
    field<&EntitySpec::description>("description"),
    field<&EntitySpec::compliance>("compliance"),
    field<&EntitySpec::hierarchy>("hierarchy"),
} END_RECORD;

RECORD(FieldSchema, "struct FieldSchema"){
    field<&FieldSchema::type>("type", Req),
    field<&FieldSchema::pii>("pii"),
    field<&FieldSchema::nullable>("nullable"),
} END_RECORD;

RECORD(SamplingSpec, "struct SamplingSpec"){
    field<&SamplingSpec::strategy>("strategy", Req),
    field<&SamplingSpec::rate>("rate"),
} END_RECORD;

RECORD(TemporalSpec, "struct TemporalSpec"){
    field<&TemporalSpec::valid_from>("valid_from", Req),
    field<&TemporalSpec::valid_to>("valid_to"),
    field<&TemporalSpec::strategy>("strategy"),
} END_RECORD;

RECORD(FreshnessKeys, "struct FreshnessSpec"){
    field<&FreshnessKeys::max_age>("max_age"),
    field<&FreshnessKeys::max_age_hours>("max_age_hours"),
    field<&FreshnessKeys::warn_after>("warn_after"),
    field<&FreshnessKeys::warn_after_hours>("warn_after_hours"),
} END_RECORD;

RECORD(SourceSpec, "struct SourceSpec"){
    field<&SourceSpec::name>("name"),
    field<&SourceSpec::adapter>("adapter"),
    field<&SourceSpec::location>("location"),
    field<&SourceSpec::primary_key>("primary_key"),
    field<&SourceSpec::schema>("schema"),
    field<&SourceSpec::sampling>("sampling"),
    field<&SourceSpec::tags>("tags"),
    field<&SourceSpec::system>("system"),
    field<&SourceSpec::table>("table"),
    field<&SourceSpec::id>("id"),
    field<&SourceSpec::attributes>("attributes"),
    field<&SourceSpec::temporal>("temporal"),
    field<&SourceSpec::freshness>("freshness"),
} END_RECORD;

RECORD(ConditionSpec, "struct ConditionSpec"){
    field<&ConditionSpec::field>("field", Req),
    field<&ConditionSpec::operator_>("operator", Req),
    field<&ConditionSpec::value>("value"),
} END_RECORD;

RECORD(ReferenceIdentifierSpec, "struct ReferenceIdentifierSpec"){
    field<&ReferenceIdentifierSpec::name>("name", Req),
    field<&ReferenceIdentifierSpec::type>("type", Req),
    field<&ReferenceIdentifierSpec::authority>("authority"),
    field<&ReferenceIdentifierSpec::field>("field", Req),
    field<&ReferenceIdentifierSpec::match_weight>("match_weight"),
    field<&ReferenceIdentifierSpec::conditions>("conditions"),
} END_RECORD;

RECORD(ExactMatchOptions, "struct ExactMatchOptions"){
    field<&ExactMatchOptions::case_insensitive>("case_insensitive"),
    field<&ExactMatchOptions::normalize>("normalize"),
    field<&ExactMatchOptions::normalizer>("normalizer"),
} END_RECORD;

RECORD(SimilarityOptions, "struct SimilarityOptions"){
    field<&SimilarityOptions::transliterate>("transliterate"),
    field<&SimilarityOptions::ignore_titles>("ignore_titles"),
    field<&SimilarityOptions::ignore_suffixes>("ignore_suffixes"),
} END_RECORD;

RECORD(RuleSpec::Exact, "struct variant RuleSpec::Exact"){
    field<&RuleSpec::Exact::name>("name", Req),
    field_or_fields<&RuleSpec::Exact::field>(),
    field<&RuleSpec::Exact::weight>("weight"),
    field<&RuleSpec::Exact::options>("options"),
} END_RECORD;

RECORD(RuleSpec::Similarity, "struct variant RuleSpec::Similarity"){
    field<&RuleSpec::Similarity::name>("name", Req),
    field_or_fields<&RuleSpec::Similarity::field>(),
    field<&RuleSpec::Similarity::algorithm>("algorithm", Req),
    field<&RuleSpec::Similarity::threshold>("threshold", Req),
    field<&RuleSpec::Similarity::weight>("weight"),
    field<&RuleSpec::Similarity::locale>("locale"),
    field<&RuleSpec::Similarity::options>("options"),
    field<&RuleSpec::Similarity::normalizer>("normalizer"),
} END_RECORD;

RECORD(RuleSpec::Range, "struct variant RuleSpec::Range"){
    field<&RuleSpec::Range::name>("name", Req),
    field_or_fields<&RuleSpec::Range::field>(),
    field<&RuleSpec::Range::tolerance>("tolerance", Req),
    field<&RuleSpec::Range::weight>("weight"),
    field<&RuleSpec::Range::normalizer>("normalizer"),
} END_RECORD;

RECORD(RuleSpec::Composite, "struct variant RuleSpec::Composite"){
    field<&RuleSpec::Composite::name>("name", Req),
    field<&RuleSpec::Composite::operator_>("operator", Req),
    field<&RuleSpec::Composite::children>("children", Req),
} END_RECORD;

RECORD(RuleSpec::Ml, "struct variant RuleSpec::Ml"){
    field<&RuleSpec::Ml::name>("name", Req),
    field<&RuleSpec::Ml::model>("model", Req),
    field<&RuleSpec::Ml::features>("features", Req),
    field<&RuleSpec::Ml::threshold>("threshold", Req),
    field<&RuleSpec::Ml::weight>("weight"),
} END_RECORD;

RECORD(BlockingFallback, "struct BlockingFallback"){
    field<&BlockingFallback::enabled>("enabled"),
    field<&BlockingFallback::sample_rate>("sample_rate"),
} END_RECORD;

RECORD(BlockingSpec, "struct BlockingSpec"){
    field<&BlockingSpec::strategy>("strategy"),
    field<&BlockingSpec::keys>("keys"),
    field<&BlockingSpec::fallback>("fallback"),
} END_RECORD;

RECORD(ThresholdsSpec, "struct ThresholdsSpec"){
    field<&ThresholdsSpec::match>("match", Req),
    field<&ThresholdsSpec::review>("review"),
    field<&ThresholdsSpec::reject>("reject"),
} END_RECORD;

RECORD(ReviewQueueSpec, "struct ReviewQueueSpec"){
    field<&ReviewQueueSpec::enabled>("enabled"),
    field<&ReviewQueueSpec::webhook>("webhook"),
    field<&ReviewQueueSpec::sla_hours>("sla_hours"),
} END_RECORD;

RECORD(AuditSpec, "struct AuditSpec"){
    field<&AuditSpec::log_all_comparisons>("log_all_comparisons"),
    field<&AuditSpec::log_decisions>("log_decisions"),
    field<&AuditSpec::log_conflicts>("log_conflicts"),
} END_RECORD;

RECORD(MlEnsembleConfig, "struct MlEnsembleConfig"){
    field<&MlEnsembleConfig::coefficients>("coefficients"),
    field<&MlEnsembleConfig::bias>("bias"),
} END_RECORD;

RECORD(CustomScoringConfig, "struct CustomScoringConfig"){
    field<&CustomScoringConfig::expression>("expression"),
} END_RECORD;

RECORD(FsFieldSpec, "struct FsFieldSpec"){
    field<&FsFieldSpec::name>("name", Req),
    field<&FsFieldSpec::comparator>("comparator", Req),
    field<&FsFieldSpec::weight>("weight"),
    field<&FsFieldSpec::m_probability>("m_probability", Req),
    field<&FsFieldSpec::u_probability>("u_probability", Req),
    field<&FsFieldSpec::normalizer>("normalizer"),
} END_RECORD;

RECORD(FsLevelSpec, "struct FsLevelSpec"){
    field<&FsLevelSpec::name>("name"),
    field<&FsLevelSpec::comparator>("comparator", Req),
    field<&FsLevelSpec::threshold>("threshold"),
    field<&FsLevelSpec::m_probability>("m_probability"),
    field<&FsLevelSpec::u_probability>("u_probability"),
} END_RECORD;

RECORD(FsFieldKeys, "struct FsFieldSpec"){
    field<&FsFieldKeys::name>("name", Req),
    field<&FsFieldKeys::comparator>("comparator", Req),
    field<&FsFieldKeys::weight>("weight"),
    field<&FsFieldKeys::m_probability>("m_probability"),
    field<&FsFieldKeys::u_probability>("u_probability"),
    field<&FsFieldKeys::normalizer>("normalizer"),
    field<&FsFieldKeys::levels>("levels"),
    field<&FsFieldKeys::term_frequency>("term_frequency"),
    field<&FsFieldKeys::term_frequency_min_u>("term_frequency_min_u"),
} END_RECORD;

RECORD(FsThresholds, "struct FsThresholds"){
    field<&FsThresholds::match>("match", Req),
    field<&FsThresholds::possible>("possible", Req),
    field<&FsThresholds::non_match>("non_match", Req),
} END_RECORD;

RECORD(FsTrainingConfig, "struct FsTrainingConfig"){
    field<&FsTrainingConfig::method>("method"),
    field<&FsTrainingConfig::max_iterations>("max_iterations"),
    field<&FsTrainingConfig::convergence_threshold>("convergence_threshold"),
    field<&FsTrainingConfig::estimate_u>("estimate_u"),
    field<&FsTrainingConfig::max_random_pairs>("max_random_pairs"),
} END_RECORD;

RECORD(ScoringSpec, "struct ScoringSpec"){
    field<&ScoringSpec::method>("method"),
    field<&ScoringSpec::normalization>("normalization"),
    field<&ScoringSpec::ml_ensemble>("ml_ensemble"),
    field<&ScoringSpec::custom>("custom"),
    field<&ScoringSpec::strategy>("strategy"),
    field<&ScoringSpec::fields>("fields"),
    field<&ScoringSpec::thresholds>("thresholds"),
    field<&ScoringSpec::training>("training"),
    field<&ScoringSpec::prior>("prior"),
} END_RECORD;

RECORD(DecisionSpec, "struct DecisionSpec"){
    {"scoring", {}, Need::Default, read_scoring},
    field<&DecisionSpec::thresholds>("thresholds", Req),
    field<&DecisionSpec::conflict_strategy>("conflict_strategy"),
    field<&DecisionSpec::review_queue>("review_queue"),
    field<&DecisionSpec::audit>("audit"),
    field<&DecisionSpec::tie_breaking>("tie_breaking"),
} END_RECORD;

RECORD(SurvivorshipOverride, "struct SurvivorshipOverride"){
    field<&SurvivorshipOverride::field>("field", Req),
    field<&SurvivorshipOverride::strategy>("strategy", Req),
    field<&SurvivorshipOverride::priority>("priority"),
    field<&SurvivorshipOverride::function>("function"),
} END_RECORD;

RECORD(SurvivorshipSpec, "struct SurvivorshipSpec"){
    field<&SurvivorshipSpec::default_>("default"),
    field<&SurvivorshipSpec::overrides>("overrides"),
} END_RECORD;

RECORD(ExclusionSpec::FieldValue, "struct variant ExclusionSpec::FieldValue"){
    field<&ExclusionSpec::FieldValue::field>("field", Req),
    field<&ExclusionSpec::FieldValue::operator_>("operator", Req),
    field<&ExclusionSpec::FieldValue::value>("value", Req),
} END_RECORD;

RECORD(ExclusionSpec::ExplicitPair, "struct variant ExclusionSpec::ExplicitPair"){
    field<&ExclusionSpec::ExplicitPair::source>("source", Req),
    field<&ExclusionSpec::ExplicitPair::left_id_field>("left_id_field", Req),
    field<&ExclusionSpec::ExplicitPair::right_id_field>("right_id_field", Req),
} END_RECORD;

RECORD(ExclusionSpec::CrossTenant, "struct variant ExclusionSpec::CrossTenant"){
    field<&ExclusionSpec::CrossTenant::enabled>("enabled"),
} END_RECORD;

RECORD(RelationSpec, "struct RelationSpec"){
    field<&RelationSpec::name>("name", Req),
    field<&RelationSpec::from_entity>("from_entity", Req),
    field<&RelationSpec::to_entity>("to_entity", Req),
    field<&RelationSpec::join_key>("join_key", Req),
    field<&RelationSpec::cardinality>("cardinality", Req),
    field<&RelationSpec::propagate_match>("propagate_match"),
} END_RECORD;

RECORD(GovernanceSpec, "struct GovernanceSpec"){
    field<&GovernanceSpec::require_freshness>("require_freshness"),
    field<&GovernanceSpec::require_schema>("require_schema"),
    field<&GovernanceSpec::required_tags>("required_tags"),
    field<&GovernanceSpec::log_probabilities>("log_probabilities"),
    field<&GovernanceSpec::require_shadow_on_threshold_change>(
        "require_shadow_on_threshold_change"),
} END_RECORD;

RECORD(IdentitySpec, "struct IdentitySpec"){
    field<&IdentitySpec::api_version>("api_version", Req),
    field<&IdentitySpec::identity_version>("identity_version", Req),
    field<&IdentitySpec::metadata>("metadata"),
    field<&IdentitySpec::entity>("entity", Req),
    {"sources", {}, Need::Required, read_sources},
    field<&IdentitySpec::reference_identifiers>("reference_identifiers"),
    field<&IdentitySpec::blocking>("blocking"),
    field<&IdentitySpec::rules>("rules"),
    field<&IdentitySpec::survivorship>("survivorship"),
    field<&IdentitySpec::exclusions>("exclusions"),
    field<&IdentitySpec::relations>("relations"),
    field<&IdentitySpec::decision>("decision", Req),
    field<&IdentitySpec::governance>("governance"),
} END_RECORD;

#undef RECORD
#undef END_RECORD

// ---- tagged unions -------------------------------------------------------------

namespace {

template <typename Variant, std::size_t... I>
void read_alternative(std::size_t index, const Cursor& c, Variant& out, std::index_sequence<I...>) {
    (void)((index == I ? (read_record(c, out.template emplace<I>()), true) : false) || ...);
}

// A mapping whose `type` key names the alternative, read whole. The other entries
// are the alternative's keys. Written as a sequence, the first element is the tag.
template <typename Variant, std::size_t N>
void read_tagged(const Cursor& at, std::string_view expecting,
                 const std::array<std::string_view, N>& names, Variant& out) {
    static_assert(std::variant_size_v<Variant> == N);
    const Cursor c = at.whole();
    const Node& n = c.node();
    auto take_tag = [&](const Node& tag) -> std::size_t {
        // Any scalar that names no kind is an unknown kind, whatever it resolves to.
        if (!tag.is_scalar()) c.with_node(tag).invalid_type("variant identifier");
        for (std::size_t i = 0; i < N; ++i)
            if (names[i] == tag.text) return i;
        c.unknown_variant(tag.text, names.data(), N);
    };
    std::optional<std::size_t> tag;
    Node rest;
    rest.mark = n.mark;
    if (n.is_mapping()) {
        rest.kind = document::NodeKind::Mapping;
        for (std::size_t i = 0; i < n.mapping_size(); ++i) {
            if (n.key(i).text == "type") {
                if (tag) c.duplicate_field("type");
                tag = take_tag(n.value(i));
            } else {
                rest.items.push_back(n.key(i));
                rest.items.push_back(n.value(i));
            }
        }
        if (!tag) c.missing_field("type");
    } else if (n.is_sequence()) {
        if (n.items.empty()) c.missing_field("type");
        tag = take_tag(n.items.front());
        rest.kind = document::NodeKind::Sequence;
        rest.items.assign(n.items.begin() + 1, n.items.end());
    } else {
        c.invalid_type(expecting);
    }
    read_alternative(*tag, c.with_node(rest), out, std::make_index_sequence<N>{});
}

constexpr std::array<std::string_view, 5> kRuleTypes{"exact", "similarity", "range", "composite",
                                                     "ml"};
constexpr std::array<std::string_view, 3> kExclusionTypes{"field_value", "explicit_pair",
                                                          "cross_tenant"};

}  // namespace

void read_value(const Cursor& c, RuleSpec& out) {
    read_tagged(c, "internally tagged enum RuleSpec", kRuleTypes, out.kind);
}

void read_value(const Cursor& c, ExclusionSpec& out) {
    read_tagged(c, "internally tagged enum ExclusionSpec", kExclusionTypes, out.kind);
}

void read_value(const Cursor& c, FreshnessSpec& out) {
    FreshnessKeys keys;
    read_record(c, keys);
    auto hours = [](std::uint32_t h) { return std::to_string(h) + "h"; };
    if (keys.max_age)
        out.max_age = *keys.max_age;
    else if (keys.max_age_hours)
        out.max_age = hours(*keys.max_age_hours);
    else
        c.fail("max_age or max_age_hours is required");
    if (keys.warn_after)
        out.warn_after = keys.warn_after;
    else if (keys.warn_after_hours)
        out.warn_after = hours(*keys.warn_after_hours);
    else
        out.warn_after.reset();
}

namespace {

constexpr std::array<std::string_view, 3> kLevelKeys{"levels", "term_frequency",
                                                     "term_frequency_min_u"};

bool has_level_keys(const Node& n) {
    if (!n.is_mapping()) return false;
    for (std::size_t i = 0; i < n.mapping_size(); ++i)
        for (auto key : kLevelKeys)
            if (n.key(i).text == key) return true;
    return false;
}

}  // namespace

// A field that uses none of the level keys is read by its own table, exactly as it
// always was (every form and failure unchanged).
void read_value(const Cursor& c, FsFieldSpec& out) {
    if (!has_level_keys(c.node())) {
        read_record(c, out);
        return;
    }
    FsFieldKeys keys;
    read_record(c, keys);
    if (!keys.levels) {
        // Term frequencies alone read the field's own m and u as two levels.
        if (!keys.m_probability) c.missing_field("m_probability");
        if (!keys.u_probability) c.missing_field("u_probability");
    }
    out.name = std::move(keys.name);
    out.comparator = keys.comparator;
    out.weight = keys.weight;
    out.m_probability = keys.m_probability.value_or(0.0);
    out.u_probability = keys.u_probability.value_or(0.0);
    out.normalizer = std::move(keys.normalizer);
    out.levels = std::move(keys.levels);
    out.term_frequency = keys.term_frequency;
    out.term_frequency_min_u = keys.term_frequency_min_u;
}

// ---- untagged forms ------------------------------------------------------------

namespace {

// A mapping from source name to source, or a list of sources. Why an entry did not
// fit is not reported: only that neither form did.
void read_sources(IdentitySpec& spec, const Cursor& at) {
    const Cursor c = at.whole();
    const Node& n = c.node();
    try {
        if (n.is_mapping()) {
            std::map<std::string, SourceSpec> by_name;
            read_map(c, by_name);
            spec.sources.clear();
            for (auto& [name, source] : by_name) {
                source.name = name;
                spec.sources.push_back(std::move(source));
            }
            return;
        }
        if (n.is_sequence()) {
            read_list(c, spec.sources);
            return;
        }
    } catch (const ReadError&) {
    }
    c.fail("data did not match any variant of untagged enum SourcesFormat");
}

// Not set, a full scoring mapping, or just the name of a method.
void read_scoring(DecisionSpec& decision, const Cursor& at) {
    if (is_null(at.node())) {
        decision.scoring.reset();
        return;
    }
    const Cursor c = at.whole();
    const Node& n = c.node();
    if (n.is_mapping()) {
        try {
            ScoringSpec scoring;
            read_record(c, scoring);
            decision.scoring = std::move(scoring);
            return;
        } catch (const ReadError&) {
        }
    } else if (is_string(n)) {
        ScoringSpec scoring;
        read_enum(c, scoring.method);
        decision.scoring = std::move(scoring);
        return;
    }
    c.fail("data did not match any variant of untagged enum ScoringFormat");
}

}  // namespace

IdentitySpec read_identity_spec(std::string_view yaml) {
    const Node root = document::read_yaml(yaml);
    IdentitySpec spec;
    read_record(Cursor(root), spec);
    return spec;
}

}  // namespace velatro::spec
