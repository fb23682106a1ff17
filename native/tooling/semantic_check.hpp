#pragma once
// Cross-section consistency of an identity spec tree: rule fields that no source
// declares, repeated rule and source names, decision thresholds out of order. Like
// the schema check it reports every finding and never fails.
#include <string>
#include <string_view>
#include <vector>

#include "document/value.hpp"

namespace velatro::tooling {

std::vector<std::string> validate_semantics(const document::Value& tree);

// Reads the text, then returns the schema findings followed by the semantic ones.
// Throws document::ReadError (the reader's message) when the text does not read.
std::vector<std::string> validate_yaml(std::string_view yaml_text);

}  // namespace velatro::tooling
