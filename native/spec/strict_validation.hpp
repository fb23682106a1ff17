#pragma once
// Strict validation: the findings of `validate`, plus one coded message when the
// typed reading of the spec fails.
#include <string>
#include <string_view>
#include <vector>

#include "document/error.hpp"

namespace velatro::spec {

// The coded message for a failed typed reading: VLT-E102 for a missing field,
// VLT-E104 for a wrong kind of value, VLT-E100 otherwise. Only the message proper
// is inspected (the text after the path prefix), so that a user's value quoted
// inside the message cannot pass for a missing field or a type error.
std::string coded_message(const document::ReadError& error);

// Throws document::ReadError when the text does not read as YAML at all.
std::vector<std::string> validate_strict(std::string_view yaml);

}  // namespace velatro::spec
