#include "tooling/semantic_check.hpp"

#include <set>

#include "tooling/level_check.hpp"
#include "tooling/lookup.hpp"
#include "tooling/message.hpp"
#include "tooling/schema_check.hpp"

namespace velatro::tooling {

namespace {

using NameSet = std::set<std::string, std::less<>>;

// Attribute names in order of first appearance: that order decides which
// suggestion a misspelt rule field is offered.
std::vector<std::string> known_attributes(const Value& tree) {
    std::vector<std::string> known;
    NameSet seen;
    if (const auto* sources = array_of(lookup(tree, "sources")))
        for (const Value& source : *sources)
            if (const Value* attributes = lookup(source, "attributes");
                attributes && attributes->is_object())
                for (const auto& member : attributes->as_object())
                    if (seen.insert(member.first).second) known.push_back(member.first);
    return known;
}

void check_rule_fields(const document::Array& rules, const std::vector<std::string>& known,
                       std::vector<std::string>& out) {
    // Without declared attributes there is nothing to check fields against.
    if (known.empty()) return;
    const NameSet known_set(known.begin(), known.end());
    for (const Value& rule : rules) {
        const Value* field_value = lookup(rule, "field");
        if (!field_value || !field_value->is_string()) continue;
        const std::string& field = field_value->as_string();
        if (known_set.contains(field)) continue;
        std::string suggestion;
        for (const std::string& attribute : known)
            if (attribute.find(field) != std::string::npos ||
                field.find(attribute) != std::string::npos) {
                suggestion = fill(" Did you mean '{}'?", {attribute});
                break;
            }
        out.push_back(fill("Rule '{}' references unknown field '{}'.{}",
                           {text_or(lookup(rule, "name"), "unknown"), field, suggestion}));
    }
}

void check_duplicate_names(const Value* list, std::string_view pattern,
                           std::vector<std::string>& out) {
    const auto* elements = array_of(list);
    if (!elements) return;
    NameSet seen;
    for (const Value& element : *elements) {
        const Value* name = lookup(element, "name");
        if (name && name->is_string() && !seen.insert(name->as_string()).second)
            out.push_back(fill(pattern, {name->as_string()}));
    }
}

void check_threshold_order(const Value& tree, std::vector<std::string>& out) {
    const Value* thresholds = lookup(lookup(tree, "decision"), "thresholds");
    if (!thresholds) return;
    const double match = read_number(lookup(thresholds, "match")).value_or(1.0);
    const double review = read_number(lookup(thresholds, "review")).value_or(0.0);
    const double reject = read_number(lookup(thresholds, "reject")).value_or(0.0);
    if (match < review) out.push_back("Threshold error: 'match' should be >= 'review'");
    if (review < reject) out.push_back("Threshold error: 'review' should be >= 'reject'");
}

}  // namespace

std::vector<std::string> validate_semantics(const document::Value& tree) {
    std::vector<std::string> out;
    const Value* rules = lookup(tree, "rules");
    if (const auto* rule_list = array_of(rules))
        check_rule_fields(*rule_list, known_attributes(tree), out);
    check_duplicate_names(rules, "Duplicate rule name: '{}'", out);
    check_duplicate_names(lookup(tree, "sources"), "Duplicate source name: '{}'", out);
    check_threshold_order(tree, out);
    check_levels(tree, out);
    return out;
}

std::vector<std::string> validate_yaml(std::string_view yaml_text) {
    const Value tree = parse_yaml(yaml_text);
    std::vector<std::string> out = validate_schema(tree);
    std::vector<std::string> semantic = validate_semantics(tree);
    out.insert(out.end(), std::make_move_iterator(semantic.begin()),
               std::make_move_iterator(semantic.end()));
    return out;
}

}  // namespace velatro::tooling
