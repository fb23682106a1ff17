#pragma once
// The fast structural check of an identity spec tree: required root keys, the
// api_version prefix, per-rule and per-source required keys, value ranges and the
// size limits. Findings are messages, in check order; nothing here can fail.
#include <string>
#include <string_view>
#include <vector>

#include "document/value.hpp"

namespace velatro::tooling {

// Reads the YAML text into a document tree; throws document::ReadError with the
// reader's message, unchanged.
document::Value parse_yaml(std::string_view yaml_text);

std::vector<std::string> validate_schema(const document::Value& tree);

}  // namespace velatro::tooling
