#include "plan/compiled_rule.hpp"

#include <array>

namespace velatro::plan {

std::string_view rule_type_tag(const CompiledRuleType& rule_type) {
    static constexpr std::array<std::string_view, 5> kTags{"exact", "similarity", "range",
                                                           "composite", "ml"};
    static_assert(kTags.size() == std::variant_size_v<CompiledRuleType>);
    return kTags[rule_type.index()];
}

}  // namespace velatro::plan
