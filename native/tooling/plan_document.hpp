#pragma once
// The plan document: the few facts that identify a spec version and its shape
// (versions, entity name, sources, rule count, blocking strategy, thresholds),
// sealed with a hash over exactly those facts.
#include "document/value.hpp"

namespace velatro::tooling {

// Any tree gives a document; what is missing becomes null.
document::Value compile_to_ir(const document::Value& tree);

}  // namespace velatro::tooling
