#include "spec/identity_spec.hpp"

namespace velatro::spec {

std::string SourceSpec::resolved_adapter() const {
    if (adapter) return std::string(to_name(*adapter));
    if (system) return *system;
    return "unknown";
}

std::string SourceSpec::resolved_location() const {
    if (location) return *location;
    if (table) return *table;
    return "unknown";
}

std::string SourceSpec::resolved_primary_key() const {
    if (primary_key) return *primary_key;
    if (id) return *id;
    return "id";
}

std::vector<std::string> SourceSpec::pii_fields() const {
    std::vector<std::string> out;
    if (!schema) return out;
    for (const auto& [field, declared] : *schema)
        if (declared.pii) out.push_back(field);
    return out;
}

}  // namespace velatro::spec
