#pragma once
// The typed identity spec: the top level, metadata, entity, sources and reference
// identifiers. Matching and policy records live in their own headers. Optional
// keys are std::optional; keys with a default carry it as their initialiser.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "document/value.hpp"
#include "spec/enums.hpp"
#include "spec/matching_spec.hpp"
#include "spec/policy_spec.hpp"

namespace velatro::spec {

struct MetadataSpec {
    std::optional<std::string> name;
    std::optional<std::string> description;
    std::optional<std::string> owner;
    std::vector<std::string> tags;
};

struct EntitySpec {
    std::string name;
    std::optional<std::string> description;
    std::optional<ComplianceSpec> compliance;
    std::optional<HierarchySpec> hierarchy;
};

struct FieldSchema {
    std::string type;
    bool pii = false;
    bool nullable = false;
};

struct SamplingSpec {
    SamplingStrategy strategy = SamplingStrategy::Random;
    double rate = 1.0;
};

struct TemporalSpec {
    std::string valid_from;
    std::optional<std::string> valid_to;
    TemporalStrategy strategy = TemporalStrategy::LatestOnly;
};

// Written with max_age / max_age_hours and warn_after / warn_after_hours; the
// hours forms are folded into duration texts ("36h") when read.
struct FreshnessSpec {
    std::string max_age;
    std::optional<std::string> warn_after;
};

struct SourceSpec {
    std::string name;
    std::optional<AdapterType> adapter;
    std::optional<std::string> location;
    std::optional<std::string> primary_key;
    std::optional<std::map<std::string, FieldSchema>> schema;
    std::optional<SamplingSpec> sampling;
    std::vector<std::string> tags;
    std::optional<std::string> system;
    std::optional<std::string> table;
    std::optional<std::string> id;
    std::map<std::string, std::string> attributes;
    std::optional<TemporalSpec> temporal;
    std::optional<FreshnessSpec> freshness;

    // adapter name, else system, else "unknown".
    [[nodiscard]] std::string resolved_adapter() const;
    // location, else table, else "unknown".
    [[nodiscard]] std::string resolved_location() const;
    // primary_key, else id, else "id".
    [[nodiscard]] std::string resolved_primary_key() const;
    // Names of the schema fields marked pii; no order is promised.
    [[nodiscard]] std::vector<std::string> pii_fields() const;
};

struct ConditionSpec {
    std::string field;
    std::string operator_;  // YAML key `operator`
    std::optional<document::Value> value;
};

struct ReferenceIdentifierSpec {
    std::string name;
    ReferenceIdType type = ReferenceIdType::External;
    std::optional<std::string> authority;
    std::string field;
    double match_weight = 1.0;
    std::vector<ConditionSpec> conditions;
};

struct IdentitySpec {
    std::string api_version;
    std::string identity_version;
    std::optional<MetadataSpec> metadata;
    EntitySpec entity;
    std::vector<SourceSpec> sources;
    std::optional<std::vector<ReferenceIdentifierSpec>> reference_identifiers;
    std::optional<BlockingSpec> blocking;
    std::vector<RuleSpec> rules;
    std::optional<SurvivorshipSpec> survivorship;
    std::optional<std::vector<ExclusionSpec>> exclusions;
    std::optional<std::vector<RelationSpec>> relations;
    DecisionSpec decision;
    std::optional<GovernanceSpec> governance;
};

}  // namespace velatro::spec
