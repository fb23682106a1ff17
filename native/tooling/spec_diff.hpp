#pragma once
// What changed between two versions of an identity spec, in a reviewer's terms:
// rules and sources added, removed or modified (matched by name), value-level
// changes inside the entity, blocking, survivorship, decision and metadata
// sections, version and threshold moves, and for Fellegi-Sunter scoring how each
// probability, weight and threshold moved and which way that pushes matching.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "document/value.hpp"

namespace velatro::tooling {

// A changed key inside a named rule or source.
struct NamedChange {
    std::string name;
    std::string field;
    std::string old_value;
    std::string new_value;
};
using RuleChange = NamedChange;
using SourceChange = NamedChange;

struct FieldChange {
    std::string path;
    std::string old_value;
    std::string new_value;
};

struct ProbabilityChange {
    std::string field;
    double old_value = 0.0;
    double new_value = 0.0;
    std::string impact;
};

struct FsDiffResult {
    std::vector<std::string> fields_added;
    std::vector<std::string> fields_removed;
    std::vector<ProbabilityChange> m_probability_changes;
    std::vector<ProbabilityChange> u_probability_changes;
    std::vector<FieldChange> weight_changes;
    std::vector<FieldChange> threshold_changes;
    double max_composite_delta = 0.0;

    [[nodiscard]] std::size_t change_count() const;
};

struct DiffResult {
    std::vector<std::string> rules_added;
    std::vector<std::string> rules_removed;
    std::vector<RuleChange> rules_modified;
    std::vector<std::string> sources_added;
    std::vector<std::string> sources_removed;
    std::vector<SourceChange> sources_modified;
    bool entity_changed = false;
    std::vector<FieldChange> entity_changes;
    bool blocking_changed = false;
    std::vector<FieldChange> blocking_changes;
    bool thresholds_changed = false;
    bool survivorship_changed = false;
    std::vector<FieldChange> survivorship_changes;
    bool scoring_changed = false;
    std::vector<FieldChange> scoring_changes;
    std::vector<FieldChange> decision_changes;
    bool metadata_changed = false;
    std::vector<FieldChange> metadata_changes;
    bool version_changed = false;
    std::string summary;
    std::optional<FsDiffResult> fs_changes;
};

// Diff from spec A (old) to spec B (new). Unreadable text throws the reader's
// document::ReadError, A's first (B is then not read).
DiffResult compute_diff(std::string_view yaml_a, std::string_view yaml_b);

// "<absent>" for nullptr, "null", a string's own characters, or compact JSON.
std::string format_value(const document::Value* value);

// The keys of both values that are objects, without repeats, in ascending byte order.
std::vector<std::string> merged_object_keys(const document::Value& a, const document::Value& b);

// Appends one change per differing leaf; objects are entered, arrays are not.
void collect_value_changes(const std::string& path, const document::Value& a,
                           const document::Value& b, std::vector<FieldChange>& out);

// The result as a document tree; `fs_changes` is left out when unset.
document::Value to_value(const DiffResult& diff);

}  // namespace velatro::tooling
