#pragma once
// Compiles a typed identity spec into the identity plan the engine executes:
// resolves sources, applies the defaults the spec leaves open, turns rules into
// typed rule records, derives Fellegi-Sunter weights, infers block-key
// transformations, converts durations, and seals the plan with its hash.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "document/error.hpp"
#include "engine/expression.hpp"
#include "plan/identity_plan.hpp"
#include "spec/identity_spec.hpp"

namespace velatro::engine {

// Part of compile's contract for callers; no spec that was read successfully
// produces one.
class CompilationError : public Error {
public:
    using Error::Error;
};

class SpecCompiler {
public:
    // Never fails for a spec that was read: an invalid custom scoring expression is
    // logged and carried into the plan, unparsable durations become 0 seconds.
    static plan::IdentityPlan compile(const spec::IdentitySpec& spec);
    // The same, handing out the custom scoring expression compiled while checking it,
    // for ReconciliationEngine::from_plan(plan, expression).
    static plan::IdentityPlan compile(const spec::IdentitySpec& spec,
                                      CompiledExpression& expression);

    static plan::CompiledRule compile_rule(const spec::RuleSpec& rule);

    // Guesses the block-key transformations from the key's field names.
    static std::vector<plan::BlockingTransformation> infer_transformations(
        const std::vector<std::string>& fields);

    // "24h", "7d", "90" (seconds), "+5m"; anything else is 0.
    static std::uint64_t parse_duration(std::string_view text);
};

}  // namespace velatro::engine
