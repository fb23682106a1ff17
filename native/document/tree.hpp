#pragma once
// YAML text to document tree.
#include <string_view>

#include "document/node.hpp"
#include "document/value.hpp"

namespace velatro::document {

// Resolves scalars and folds mappings into sorted objects (last value wins).
Value to_value(const Node& node);

// read_yaml followed by to_value. Throws ReadError.
Value read_tree(std::string_view yaml_text);

}  // namespace velatro::document
