#pragma once
// Policy records of the identity spec: survivorship, exclusions, relations,
// governance, and the entity's compliance and hierarchy.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "document/value.hpp"
#include "spec/enums.hpp"

namespace velatro::spec {

struct SurvivorshipOverride {
    std::string field;
    SurvivorshipStrategy strategy = SurvivorshipStrategy::MostRecent;
    std::vector<std::string> priority;
    std::optional<AggregateFunction> function;
};

struct SurvivorshipSpec {
    SurvivorshipStrategy default_ = SurvivorshipStrategy::MostRecent;  // YAML key `default`
    std::vector<SurvivorshipOverride> overrides;
};

// The exclusion kinds, outside ExclusionSpec for the same reason as the rule kinds.
struct FieldValueExclusion {
    std::string field;
    std::string operator_;  // YAML key `operator`
    document::Value value;
};

struct ExplicitPairExclusion {
    std::string source;
    std::string left_id_field;
    std::string right_id_field;
};

struct CrossTenantExclusion {
    bool enabled = false;
};

// A pair that must never merge; `type` in YAML selects the alternative.
struct ExclusionSpec {
    using FieldValue = FieldValueExclusion;
    using ExplicitPair = ExplicitPairExclusion;
    using CrossTenant = CrossTenantExclusion;

    std::variant<FieldValue, ExplicitPair, CrossTenant> kind;
};

struct RelationSpec {
    std::string name;
    std::string from_entity;
    std::string to_entity;
    std::string join_key;
    Cardinality cardinality = Cardinality::OneToOne;
    bool propagate_match = false;
};

struct GovernanceSpec {
    bool require_freshness = false;
    bool require_schema = false;
    std::vector<std::string> required_tags;
    bool log_probabilities = false;
    bool require_shadow_on_threshold_change = false;
};

struct ComplianceSpec {
    std::vector<std::string> frameworks;
    std::vector<std::string> pii_fields;
    bool audit_required = false;
    std::optional<std::uint32_t> retention_days;
};

struct HierarchySpec {
    std::string parent_field;
    std::uint8_t depth = 5;
    std::vector<std::string> inheritance;
};

}  // namespace velatro::spec
