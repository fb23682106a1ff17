#pragma once
// The records that flow through the reconciliation engine: the caller's entity
// records, the outcome of one rule on one pair, and the outcome of one pair.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document/error.hpp"
#include "document/value.hpp"
#include "engine/datetime.hpp"
#include "engine/uuid.hpp"

namespace velatro::engine {

// An entity's attribute values. Rules look up a handful of fields per pair, millions of
// times per run, so this is a flat vector sorted by key: one allocation per record, a
// cache-friendly binary search per lookup, and no hashing of the probe key.
class FieldMap {
public:
    using Entry = std::pair<std::string, std::string>;

    FieldMap() = default;
    // Entries in any order; when a key repeats the last one wins.
    explicit FieldMap(std::vector<Entry> entries);

    [[nodiscard]] const std::string* find(std::string_view key) const noexcept;
    [[nodiscard]] bool contains(std::string_view key) const noexcept { return find(key) != nullptr; }
    // Inserts or overwrites.
    void set(std::string key, std::string value);

    [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
    [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
    // Iteration is in ascending key order.
    [[nodiscard]] auto begin() const noexcept { return entries_.begin(); }
    [[nodiscard]] auto end() const noexcept { return entries_.end(); }

    friend bool operator==(const FieldMap&, const FieldMap&) = default;

private:
    std::vector<Entry> entries_;
};

struct NormalizedEntity {
    Uuid id;
    Uuid tenant_id;
    std::string external_id;
    std::string entity_type;
    FieldMap data;
    std::string source_name;
    std::optional<UtcDateTime> valid_from;  // absent: open start
    std::optional<UtcDateTime> valid_to;    // absent: open end
    UtcDateTime last_updated;

    // The value of a data field, or nullptr when the record lacks it.
    [[nodiscard]] const std::string* field(std::string_view name) const noexcept {
        return data.find(name);
    }
};

struct RuleResult {
    std::string rule_name;
    double score = 0.0;
    double weight = 0.0;
    bool matched = false;
    std::string explanation;
};

enum class Decision : std::uint8_t { Merge, Review, NoMerge };

// "merge", "review", "no_merge": the form decisions are written in.
std::string_view decision_json_name(Decision decision) noexcept;
// "merge", "review", "nomerge": the key of decision counts in telemetry.
std::string_view decision_label(Decision decision) noexcept;

struct MatchDecision {
    Uuid entity_a_id;
    Uuid entity_b_id;
    Decision decision = Decision::NoMerge;
    double confidence = 0.0;
    std::optional<double> posterior_probability;
    std::vector<RuleResult> rule_results;
    std::vector<std::string> matched_on;
    std::optional<std::string> blocking_key;
    std::optional<double> temporal_adjustment;
};

// Entity ids grouped by clustering, ascending.
using Cluster = std::vector<Uuid>;

// Writing as document trees (keys sorted by the tree; "posterior_probability" left out
// when absent, "blocking_key" and "temporal_adjustment" written as null when absent;
// non-finite floats as null).
document::Value to_value(const RuleResult& result);
document::Value to_value(const MatchDecision& decision);

// Reads the entities JSON text: one array of records, each an object with the field
// names above or an array of the nine values in field order. Any fault throws
// velatro::Error whose message ends in " at line L column C"; nothing is returned
// partially.
std::vector<NormalizedEntity> read_entities(std::string_view json);

}  // namespace velatro::engine
