#include "tooling/spec_diff.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <set>

#include "document/float_text.hpp"
#include "document/json_writer.hpp"
#include "document/tree.hpp"
#include "tooling/fs_levels.hpp"
#include "tooling/lookup.hpp"
#include "tooling/message.hpp"

namespace velatro::tooling {

namespace {

using document::Array;
using document::Object;

// Probability, weight and threshold moves this small are noise from rewriting a
// value, not a change.
constexpr double kTolerance = 1e-10;

constexpr std::string_view kAbsent = "<absent>";
constexpr std::string_view kPresent = "<present>";

// The version as a reviewer reads it. A number or boolean is shown as written so
// that `identity_version: 1` -> `2` is a change rather than "unknown" on both sides.
std::string version_text(const Value* version) {
    if (!version) return "unknown";
    if (version->is_string()) return version->as_string();
    if (version->is_number() || version->is_bool()) return document::to_json(*version);
    return "unknown";
}

// Section comparison: presence on one side only is reported as a whole, otherwise
// the differing values are listed leaf by leaf.
void compare_section(const Value& a, const Value& b, std::string_view key, bool& changed,
                     std::vector<FieldChange>& out) {
    const Value* in_a = lookup(a, key);
    const Value* in_b = lookup(b, key);
    if ((!in_a && !in_b) || (in_a && in_b && *in_a == *in_b)) return;
    changed = true;
    if (!in_b)
        out.push_back({std::string(key), std::string(kPresent), std::string(kAbsent)});
    else if (!in_a)
        out.push_back({std::string(key), std::string(kAbsent), std::string(kPresent)});
    else
        collect_value_changes(std::string(key), *in_a, *in_b, out);
}

// How a named list names its elements: the first key that is present decides,
// and a present non-string name leaves the element unnamed.
using NameKeys = std::vector<std::string_view>;

const std::string* element_name(const Value& element, const NameKeys& name_keys) {
    for (std::string_view key : name_keys)
        if (const Value* name = lookup(element, key))
            return name->is_string() ? &name->as_string() : nullptr;
    return nullptr;
}

struct Named {
    std::string name;
    const Value* element;
};

std::vector<Named> name_list(const Array* elements, const NameKeys& name_keys) {
    std::vector<Named> out;
    if (elements)
        for (const Value& element : *elements)
            if (const std::string* name = element_name(element, name_keys))
                out.push_back({*name, &element});
    return out;
}

using NameSet = std::set<std::string_view>;

NameSet names_of(const std::vector<Named>& list) {
    NameSet out;
    for (const Named& entry : list) out.insert(entry.name);
    return out;
}

// Names of `list` that `other` lacks, in `list` order, repeats kept.
std::vector<std::string> missing_from(const std::vector<Named>& list, const NameSet& other) {
    std::vector<std::string> out;
    for (const Named& entry : list)
        if (!other.contains(entry.name)) out.push_back(entry.name);
    return out;
}

// The first element carrying each name: that is the one a repeated name compares.
std::map<std::string_view, const Value*> first_by_name(const std::vector<Named>& list) {
    std::map<std::string_view, const Value*> out;
    for (const Named& entry : list) out.emplace(entry.name, entry.element);
    return out;
}

void compare_named_lists(const Array* a, const Array* b, const NameKeys& name_keys,
                         std::vector<std::string>& added, std::vector<std::string>& removed,
                         std::vector<NamedChange>& modified) {
    const auto list_a = name_list(a, name_keys);
    const auto list_b = name_list(b, name_keys);
    const NameSet names_a = names_of(list_a);
    const NameSet names_b = names_of(list_b);
    added = missing_from(list_b, names_a);
    removed = missing_from(list_a, names_b);
    const auto first_a = first_by_name(list_a);
    const auto first_b = first_by_name(list_b);
    for (const Named& entry : list_a) {
        auto in_b = first_b.find(entry.name);
        if (in_b == first_b.end()) continue;
        const Value& old_element = *first_a.at(entry.name);
        const Value& new_element = *in_b->second;
        if (old_element == new_element) continue;
        for (const std::string& key : merged_object_keys(old_element, new_element)) {
            if (std::find(name_keys.begin(), name_keys.end(), key) != name_keys.end()) continue;
            const Value* old_value = lookup(old_element, key);
            const Value* new_value = lookup(new_element, key);
            if (old_value && new_value && *old_value == *new_value) continue;
            modified.push_back({entry.name, key, format_value(old_value), format_value(new_value)});
        }
    }
}

const Array* rule_array(const Value& tree) {
    if (const auto* rules = array_of(lookup(tree, "rules"))) return rules;
    return array_of(lookup(tree, "matching"));
}

// Presence on one side counts as a change of thresholds; otherwise thresholds only
// raise the flag, scoring is compared leaf by leaf and the remaining keys are
// reported once each.
void compare_decision(const Value& a, const Value& b, DiffResult& diff) {
    const Value* in_a = lookup(a, "decision");
    const Value* in_b = lookup(b, "decision");
    if (!in_a && !in_b) return;
    if (!in_a || !in_b) {
        diff.thresholds_changed = true;
        diff.decision_changes.push_back({"decision", std::string(in_a ? kPresent : kAbsent),
                                         std::string(in_b ? kPresent : kAbsent)});
        return;
    }
    if (*in_a == *in_b) return;

    const Value* thresholds_a = lookup(in_a, "thresholds");
    const Value* thresholds_b = lookup(in_b, "thresholds");
    if ((thresholds_a == nullptr) != (thresholds_b == nullptr) ||
        (thresholds_a && !(*thresholds_a == *thresholds_b)))
        diff.thresholds_changed = true;

    const Value* scoring_a = lookup(in_a, "scoring");
    const Value* scoring_b = lookup(in_b, "scoring");
    if ((scoring_a == nullptr) != (scoring_b == nullptr)) {
        diff.scoring_changed = true;
        diff.scoring_changes.push_back(
            {"decision.scoring", format_value(scoring_a), format_value(scoring_b)});
    } else if (scoring_a && !(*scoring_a == *scoring_b)) {
        diff.scoring_changed = true;
        collect_value_changes("decision.scoring", *scoring_a, *scoring_b, diff.scoring_changes);
    }

    for (const std::string& key : merged_object_keys(*in_a, *in_b)) {
        if (key == "scoring" || key == "thresholds") continue;
        const Value* old_value = lookup(in_a, key);
        const Value* new_value = lookup(in_b, key);
        if (old_value && new_value && *old_value == *new_value) continue;
        diff.decision_changes.push_back(
            {"decision." + key, format_value(old_value), format_value(new_value)});
    }
}

bool is_fellegi_sunter(const Value* scoring) {
    const Value* strategy = lookup(scoring, "strategy");
    return strategy && strategy->is_string() && strategy->as_string() == "fellegi_sunter";
}

// Both sides must hold a number and the move must exceed the tolerance.
struct Move {
    double old_value;
    double new_value;
};

std::optional<Move> numeric_move(const Value* a, const Value* b) {
    const auto old_value = read_number(a);
    const auto new_value = read_number(b);
    if (!old_value || !new_value || !(std::fabs(*new_value - *old_value) > kTolerance))
        return std::nullopt;
    return Move{*old_value, *new_value};
}

constexpr std::string_view kMoreLikely = "increases match likelihood";
constexpr std::string_view kLessLikely = "decreases match likelihood";

// The levels of one field, by name: "field[level]" in the change lists.
std::vector<std::pair<std::string, const Value*>> named_levels(const Value* field) {
    std::vector<std::pair<std::string, const Value*>> out;
    if (const auto* levels = array_of(lookup(field, "levels")))
        for (const Value& level : *levels)
            out.emplace_back(fill("{}[{}]", {text_or(lookup(field, "name"), "unknown"),
                                             level_name(level)}),
                             &level);
    return out;
}

void compare_levels(const Value* field_a, const Value* field_b, FsDiffResult& fs) {
    const auto levels_a = named_levels(field_a);
    const auto levels_b = named_levels(field_b);
    auto find = [](const auto& levels, const std::string& name) -> const Value* {
        for (const auto& [n, level] : levels)
            if (n == name) return level;
        return nullptr;
    };
    for (const auto& [name, level] : levels_b)
        if (!find(levels_a, name)) fs.fields_added.push_back(name);
    for (const auto& [name, level_a] : levels_a) {
        const Value* level_b = find(levels_b, name);
        if (!level_b) {
            fs.fields_removed.push_back(name);
            continue;
        }
        if (auto move =
                numeric_move(lookup(level_a, "m_probability"), lookup(level_b, "m_probability")))
            fs.m_probability_changes.push_back(
                {name, move->old_value, move->new_value,
                 std::string(move->new_value > move->old_value ? kMoreLikely : kLessLikely)});
        if (auto move =
                numeric_move(lookup(level_a, "u_probability"), lookup(level_b, "u_probability")))
            fs.u_probability_changes.push_back(
                {name, move->old_value, move->new_value,
                 std::string(move->new_value < move->old_value ? kMoreLikely : kLessLikely)});
    }
}

std::optional<FsDiffResult> compare_fellegi_sunter(const Value& a, const Value& b) {
    const Value* scoring_a = lookup(lookup(a, "decision"), "scoring");
    const Value* scoring_b = lookup(lookup(b, "decision"), "scoring");
    if (!is_fellegi_sunter(scoring_a) && !is_fellegi_sunter(scoring_b)) return std::nullopt;

    const NameKeys name_keys{"name"};
    const auto fields_a = name_list(array_of(lookup(scoring_a, "fields")), name_keys);
    const auto fields_b = name_list(array_of(lookup(scoring_b, "fields")), name_keys);
    const bool levels = uses_levels(a) || uses_levels(b);
    FsDiffResult fs;
    fs.fields_added = missing_from(fields_b, names_of(fields_a));
    fs.fields_removed = missing_from(fields_a, names_of(fields_b));
    const auto first_a = first_by_name(fields_a);
    const auto first_b = first_by_name(fields_b);
    for (const Named& entry : fields_a) {
        auto in_b = first_b.find(entry.name);
        if (in_b == first_b.end()) continue;
        const Value* field_a = first_a.at(entry.name);
        const Value* field_b = in_b->second;
        // A higher m (agreement among true matches) or a lower u (agreement by
        // chance) both make agreement stronger evidence of a match.
        if (auto move =
                numeric_move(lookup(field_a, "m_probability"), lookup(field_b, "m_probability")))
            fs.m_probability_changes.push_back(
                {entry.name, move->old_value, move->new_value,
                 std::string(move->new_value > move->old_value ? kMoreLikely : kLessLikely)});
        if (auto move =
                numeric_move(lookup(field_a, "u_probability"), lookup(field_b, "u_probability")))
            fs.u_probability_changes.push_back(
                {entry.name, move->old_value, move->new_value,
                 std::string(move->new_value < move->old_value ? kMoreLikely : kLessLikely)});
        if (auto move = numeric_move(lookup(field_a, "weight"), lookup(field_b, "weight")))
            fs.weight_changes.push_back({fill("scoring.fields.{}.weight", {entry.name}),
                                         document::four_decimals(move->old_value),
                                         document::four_decimals(move->new_value)});
        // Specs with comparison levels also compare them level by level.
        if (levels) compare_levels(field_a, field_b, fs);
    }
    const Value* thresholds_a = lookup(scoring_a, "thresholds");
    const Value* thresholds_b = lookup(scoring_b, "thresholds");
    if (thresholds_a && thresholds_b)
        for (std::string_view key : {"match", "possible", "non_match"})
            if (auto move = numeric_move(lookup(thresholds_a, key), lookup(thresholds_b, key)))
                fs.threshold_changes.push_back({fill("scoring.thresholds.{}", {key}),
                                                document::four_decimals(move->old_value),
                                                document::four_decimals(move->new_value)});
    // A prior is a probability, often tiny: shown in full rather than to four decimals.
    if (levels)
        if (auto move = numeric_move(lookup(scoring_a, "prior"), lookup(scoring_b, "prior")))
            fs.threshold_changes.push_back({"scoring.prior", document::plain_float(move->old_value),
                                            document::plain_float(move->new_value)});
    if (fs.change_count() == 0) return std::nullopt;
    return fs;
}

std::string summary_text(const DiffResult& diff, const std::string& version_a,
                         const std::string& version_b) {
    auto count = [](const auto& list) { return std::to_string(list.size()); };
    std::vector<std::string> parts;
    if (diff.version_changed) parts.push_back(fill("version: {} -> {}", {version_a, version_b}));
    if (diff.entity_changed)
        parts.push_back(fill("{} entity change(s)", {count(diff.entity_changes)}));
    if (!diff.sources_added.empty() || !diff.sources_removed.empty() ||
        !diff.sources_modified.empty())
        parts.push_back(
            fill("sources: +{} -{} ~{}", {count(diff.sources_added), count(diff.sources_removed),
                                          count(diff.sources_modified)}));
    if (diff.blocking_changed)
        parts.push_back(fill("{} blocking change(s)", {count(diff.blocking_changes)}));
    if (!diff.rules_added.empty() || !diff.rules_removed.empty() || !diff.rules_modified.empty())
        parts.push_back(
            fill("rules: +{} -{} ~{}",
                 {count(diff.rules_added), count(diff.rules_removed), count(diff.rules_modified)}));
    if (diff.survivorship_changed)
        parts.push_back(fill("{} survivorship change(s)", {count(diff.survivorship_changes)}));
    if (diff.thresholds_changed) parts.push_back("thresholds changed");
    if (diff.scoring_changed)
        parts.push_back(fill("{} scoring change(s)", {count(diff.scoring_changes)}));
    if (!diff.decision_changes.empty())
        parts.push_back(fill("{} other decision change(s)", {count(diff.decision_changes)}));
    if (diff.metadata_changed)
        parts.push_back(fill("{} metadata change(s)", {count(diff.metadata_changes)}));
    if (diff.fs_changes && diff.fs_changes->change_count() > 0)
        parts.push_back(
            fill("{} Fellegi-Sunter change(s)", {std::to_string(diff.fs_changes->change_count())}));
    if (parts.empty()) return "No changes detected.";
    std::string out;
    for (const std::string& part : parts) {
        if (!out.empty()) out += "; ";
        out += part;
    }
    return out;
}

Value string_list(const std::vector<std::string>& items) {
    return Array(items.begin(), items.end());
}

Value field_changes(const std::vector<FieldChange>& changes) {
    Array out;
    out.reserve(changes.size());
    for (const FieldChange& change : changes)
        out.push_back(Object{{"path", change.path},
                             {"old_value", change.old_value},
                             {"new_value", change.new_value}});
    return out;
}

Value named_changes(const std::vector<NamedChange>& changes) {
    Array out;
    out.reserve(changes.size());
    for (const NamedChange& change : changes)
        out.push_back(Object{{"name", change.name},
                             {"field", change.field},
                             {"old_value", change.old_value},
                             {"new_value", change.new_value}});
    return out;
}

Value probability_changes(const std::vector<ProbabilityChange>& changes) {
    Array out;
    out.reserve(changes.size());
    for (const ProbabilityChange& change : changes)
        out.push_back(Object{{"field", change.field},
                             {"old_value", change.old_value},
                             {"new_value", change.new_value},
                             {"impact", change.impact}});
    return out;
}

}  // namespace

std::size_t FsDiffResult::change_count() const {
    return fields_added.size() + fields_removed.size() + m_probability_changes.size() +
           u_probability_changes.size() + weight_changes.size() + threshold_changes.size();
}

std::string format_value(const document::Value* value) {
    if (!value) return std::string(kAbsent);
    if (value->is_null()) return "null";
    if (value->is_string()) return value->as_string();
    return document::to_json(*value);
}

std::vector<std::string> merged_object_keys(const document::Value& a, const document::Value& b) {
    std::vector<std::string> out;
    for (const Value* side : {&a, &b})
        if (side->is_object())
            for (const auto& member : side->as_object()) out.push_back(member.first);
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

void collect_value_changes(const std::string& path, const document::Value& a,
                           const document::Value& b, std::vector<FieldChange>& out) {
    if (a == b) return;
    if (!a.is_object() || !b.is_object()) {
        out.push_back({path, format_value(&a), format_value(&b)});
        return;
    }
    for (const std::string& key : merged_object_keys(a, b)) {
        const std::string child = path + "." + key;
        const Value* in_a = a.find(key);
        const Value* in_b = b.find(key);
        if (in_a && in_b)
            collect_value_changes(child, *in_a, *in_b, out);
        else
            out.push_back({child, format_value(in_a), format_value(in_b)});
    }
}

DiffResult compute_diff(std::string_view yaml_a, std::string_view yaml_b) {
    const Value a = document::read_tree(yaml_a);
    const Value b = document::read_tree(yaml_b);
    DiffResult diff;

    const std::string version_a = version_text(lookup(a, "identity_version"));
    const std::string version_b = version_text(lookup(b, "identity_version"));
    diff.version_changed = version_a != version_b;

    compare_section(a, b, "entity", diff.entity_changed, diff.entity_changes);
    compare_named_lists(array_of(lookup(a, "sources")), array_of(lookup(b, "sources")), {"name"},
                        diff.sources_added, diff.sources_removed, diff.sources_modified);
    compare_section(a, b, "blocking", diff.blocking_changed, diff.blocking_changes);
    compare_named_lists(rule_array(a), rule_array(b), {"name", "rule"}, diff.rules_added,
                        diff.rules_removed, diff.rules_modified);
    compare_section(a, b, "survivorship", diff.survivorship_changed, diff.survivorship_changes);
    compare_decision(a, b, diff);
    compare_section(a, b, "metadata", diff.metadata_changed, diff.metadata_changes);
    diff.fs_changes = compare_fellegi_sunter(a, b);
    diff.summary = summary_text(diff, version_a, version_b);
    return diff;
}

document::Value to_value(const DiffResult& diff) {
    Object out{
        {"rules_added", string_list(diff.rules_added)},
        {"rules_removed", string_list(diff.rules_removed)},
        {"rules_modified", named_changes(diff.rules_modified)},
        {"sources_added", string_list(diff.sources_added)},
        {"sources_removed", string_list(diff.sources_removed)},
        {"sources_modified", named_changes(diff.sources_modified)},
        {"entity_changed", diff.entity_changed},
        {"entity_changes", field_changes(diff.entity_changes)},
        {"blocking_changed", diff.blocking_changed},
        {"blocking_changes", field_changes(diff.blocking_changes)},
        {"thresholds_changed", diff.thresholds_changed},
        {"survivorship_changed", diff.survivorship_changed},
        {"survivorship_changes", field_changes(diff.survivorship_changes)},
        {"scoring_changed", diff.scoring_changed},
        {"scoring_changes", field_changes(diff.scoring_changes)},
        {"decision_changes", field_changes(diff.decision_changes)},
        {"metadata_changed", diff.metadata_changed},
        {"metadata_changes", field_changes(diff.metadata_changes)},
        {"version_changed", diff.version_changed},
        {"summary", diff.summary},
    };
    if (const auto& fs = diff.fs_changes)
        out.emplace(
            "fs_changes",
            Object{{"fields_added", string_list(fs->fields_added)},
                   {"fields_removed", string_list(fs->fields_removed)},
                   {"m_probability_changes", probability_changes(fs->m_probability_changes)},
                   {"u_probability_changes", probability_changes(fs->u_probability_changes)},
                   {"weight_changes", field_changes(fs->weight_changes)},
                   {"threshold_changes", field_changes(fs->threshold_changes)},
                   {"max_composite_delta", fs->max_composite_delta}});
    return out;
}

}  // namespace velatro::tooling
