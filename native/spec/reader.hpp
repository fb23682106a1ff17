#pragma once
// Reading YAML text into the typed identity spec.
#include <string_view>

#include "document/error.hpp"
#include "spec/identity_spec.hpp"

namespace velatro::spec {

// Reads the whole spec or throws document::ReadError for the first problem met:
// its text is the path prefix ("decision.thresholds: "), the message proper and
// the location suffix; its mark is the position the message points at.
IdentitySpec read_identity_spec(std::string_view yaml);

}  // namespace velatro::spec
