#pragma once
// Survivorship: merging the records of one cluster into a golden record, one surviving
// value per attribute, chosen or computed from the members by the plan's policy.
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "document/value.hpp"
#include "engine/entity.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::engine {

// Field name to surviving value; every value is text, numbers included.
using GoldenRecord = std::map<std::string, std::string, std::less<>>;

class SurvivorshipEngine {
  public:
    // Members in cluster order (the order breaks ties in several strategies). Never fails;
    // no members give an empty record.
    static GoldenRecord construct_golden_record(std::span<const NormalizedEntity* const> members,
                                                const plan::SurvivorshipPolicy& policy);
    static GoldenRecord construct_golden_record(std::span<const NormalizedEntity> members,
                                                const plan::SurvivorshipPolicy& policy);

    // The value of the member whose time (valid_from, else last_updated) is greatest,
    // then whose external_id is greatest; on a full tie the later member. Nothing when
    // no member has the field.
    static std::optional<std::string> pick_by_most_recent(
        std::span<const NormalizedEntity* const> members, std::string_view field);
    static std::optional<std::string> pick_by_most_recent(std::span<const NormalizedEntity> members,
                                                          std::string_view field);
};

// "vlt_" and the first 12 hex digits of SHA-256 over the ids' lower-case hyphenated texts,
// sorted, each followed by a zero byte: a key that depends only on the multiset of ids.
std::string velatro_id(std::span<const Uuid> ids);

// The golden record of one cluster, built from the very records clustering placed in it
// (never by looking ids up again: two records may share an id, and each must contribute
// its own data). Adds "velatro_id" over the members' ids and "member_count", which
// replace data fields of those names. Members in cluster order.
GoldenRecord golden_record(std::span<const NormalizedEntity* const> members,
                           const plan::SurvivorshipPolicy& policy);

// The same from positions into the run's entity list. Cluster order is ascending id, and
// records sharing an id follow each other by position, so the result does not depend on
// the order the positions come in.
GoldenRecord golden_record(std::span<const NormalizedEntity> entities,
                           std::span<const std::size_t> positions,
                           const plan::SurvivorshipPolicy& policy);

// As a document tree: an object of strings.
document::Value golden_record_to_value(const GoldenRecord& record);

}  // namespace velatro::engine
