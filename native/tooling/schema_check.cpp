#include "tooling/schema_check.hpp"

#include <array>
#include <string>

#include "document/float_text.hpp"
#include "document/tree.hpp"
#include "tooling/lookup.hpp"
#include "tooling/message.hpp"

namespace velatro::tooling {

namespace {

constexpr std::size_t kMaxRules = 50;
constexpr std::size_t kMaxSources = 10;
constexpr std::size_t kMaxBlockingKeys = 5;

constexpr std::array<std::string_view, 3> kRequiredRootKeys{"api_version", "identity_version",
                                                            "entity"};
constexpr std::array<std::string_view, 5> kRequiredSourceKeys{"name", "system", "table", "id",
                                                              "attributes"};
constexpr std::string_view kApiVersionPrefix = "velatro/v";

// A unit-interval value of a rule; only real numbers are checked.
void check_unit_range(const Value& rule, std::string_view key, std::size_t index,
                      std::vector<std::string>& out) {
    auto number = read_number(lookup(rule, key));
    if (number && (*number < 0.0 || *number > 1.0))
        out.push_back(fill("rules[{}]: {} {} must be between 0 and 1",
                           {std::to_string(index), key, document::plain_float(*number)}));
}

void check_rules(const document::Array& rules, std::vector<std::string>& out) {
    if (rules.size() > kMaxRules)
        out.push_back(fill("Too many rules: {}. Maximum is {}.",
                           {std::to_string(rules.size()), std::to_string(kMaxRules)}));
    for (std::size_t i = 0; i < rules.size(); ++i) {
        const Value& rule = rules[i];
        for (std::string_view key : {"name", "type"})
            if (!lookup(rule, key))
                out.push_back(
                    fill("rules[{}]: missing required field '{}'", {std::to_string(i), key}));
        check_unit_range(rule, "weight", i, out);
        check_unit_range(rule, "threshold", i, out);
    }
}

void check_sources(const document::Array& sources, std::vector<std::string>& out) {
    if (sources.size() > kMaxSources)
        out.push_back(fill("Too many sources: {}. Maximum is {}.",
                           {std::to_string(sources.size()), std::to_string(kMaxSources)}));
    for (std::size_t i = 0; i < sources.size(); ++i)
        for (std::string_view key : kRequiredSourceKeys)
            if (!lookup(sources[i], key))
                out.push_back(
                    fill("sources[{}]: missing required field '{}'", {std::to_string(i), key}));
}

}  // namespace

document::Value parse_yaml(std::string_view yaml_text) {
    return document::read_tree(yaml_text);
}

std::vector<std::string> validate_schema(const document::Value& tree) {
    std::vector<std::string> out;
    for (std::string_view key : kRequiredRootKeys)
        if (!lookup(tree, key)) out.push_back(fill("Missing required field: {}", {key}));

    const Value* api_version = lookup(tree, "api_version");
    if (api_version && api_version->is_string() &&
        !api_version->as_string().starts_with(kApiVersionPrefix))
        out.push_back(fill("Invalid api_version format: '{}'. Expected 'velatro/v<N>'",
                           {api_version->as_string()}));

    const Value* entity = lookup(tree, "entity");
    if (entity && !lookup(entity, "name")) out.push_back("entity.name is required");

    if (const auto* rules = array_of(lookup(tree, "rules"))) check_rules(*rules, out);
    if (const auto* sources = array_of(lookup(tree, "sources"))) check_sources(*sources, out);

    if (const auto* keys = array_of(lookup(lookup(tree, "blocking"), "keys"));
        keys && keys->size() > kMaxBlockingKeys)
        out.push_back(fill("Too many blocking keys: {}. Maximum is {}.",
                           {std::to_string(keys->size()), std::to_string(kMaxBlockingKeys)}));
    return out;
}

}  // namespace velatro::tooling
