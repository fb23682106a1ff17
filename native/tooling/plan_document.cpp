#include "tooling/plan_document.hpp"

#include <cstdint>

#include "document/digest.hpp"
#include "tooling/lookup.hpp"

namespace velatro::tooling {

namespace {

Value copy_or_null(const Value* value) {
    return value ? *value : Value();
}

Value source_list(const Value* sources) {
    const auto* elements = array_of(sources);
    if (!elements) return {};
    document::Array out;
    out.reserve(elements->size());
    for (const Value& source : *elements) {
        document::Object entry;
        for (const char* key : {"name", "system", "table"})
            entry.emplace(key, copy_or_null(lookup(source, key)));
        out.emplace_back(std::move(entry));
    }
    return out;
}

}  // namespace

document::Value compile_to_ir(const document::Value& tree) {
    document::Object plan;
    plan.emplace("api_version", copy_or_null(lookup(tree, "api_version")));
    plan.emplace("identity_version", copy_or_null(lookup(tree, "identity_version")));
    plan.emplace("entity", copy_or_null(lookup(lookup(tree, "entity"), "name")));
    plan.emplace("sources", source_list(lookup(tree, "sources")));
    const auto* rules = array_of(lookup(tree, "rules"));
    plan.emplace("rule_count", rules ? Value(static_cast<std::uint64_t>(rules->size())) : Value());
    plan.emplace("blocking_strategy", copy_or_null(lookup(lookup(tree, "blocking"), "strategy")));
    plan.emplace("thresholds", copy_or_null(lookup(lookup(tree, "decision"), "thresholds")));
    // The hash covers the seven facts above and nothing else of the spec.
    std::string hash = document::fingerprint(Value(plan));
    plan.emplace("plan_hash", std::move(hash));
    return plan;
}

}  // namespace velatro::tooling
