#include "plan/identity_plan.hpp"

#include <array>

#include "document/digest.hpp"
#include "plan/plan_json.hpp"

namespace velatro::plan {

std::string IdentityPlan::compute_hash() const {
    // Writing a plan cannot fail: every map key is text and every value has a JSON
    // form (non-finite floats become null).
    return document::sha256_hex(to_json(*this));
}

std::string_view exclusion_tag(const CompiledExclusion& exclusion) {
    static constexpr std::array<std::string_view, 3> kTags{"field_value", "explicit_pair",
                                                           "cross_tenant"};
    static_assert(kTags.size() == std::variant_size_v<CompiledExclusion>);
    return kTags[exclusion.index()];
}

}  // namespace velatro::plan
