#pragma once
// The compact JSON form of plan records, the text the plan hash digests. Records are
// objects with their members in field order (not sorted), absent optionals are null,
// enumerations are their names and tagged unions lead with a "type" member. Scalars
// follow the document writer exactly, so the same value always gives the same text.
#include <string>

#include "plan/compiled_rule.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::plan {

void append_json(std::string& out, const IdentityPlan& plan);
void append_json(std::string& out, const CompiledRule& rule);
void append_json(std::string& out, const CompiledExclusion& exclusion);

std::string to_json(const IdentityPlan& plan);
std::string to_json(const CompiledRule& rule);
std::string to_json(const CompiledExclusion& exclusion);

}  // namespace velatro::plan
