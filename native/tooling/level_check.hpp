#pragma once
// The checks of the comparison-level keys (levels, term frequencies, prior): part of the
// semantic check, silent for specs that do not use them.
#include <string>
#include <vector>

#include "document/value.hpp"

namespace velatro::tooling {

void check_levels(const document::Value& tree, std::vector<std::string>& out);

}  // namespace velatro::tooling
