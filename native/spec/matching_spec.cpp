#include "spec/matching_spec.hpp"

namespace velatro::spec {

const std::string& RuleSpec::name() const {
    return std::visit([](const auto& rule) -> const std::string& { return rule.name; }, kind);
}

std::string default_training_method() {
    return "manual";
}

}  // namespace velatro::spec
