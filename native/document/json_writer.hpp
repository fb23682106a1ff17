#pragma once
// Compact JSON text: no whitespace outside strings, object members in the tree's
// (ascending byte) order, floats in their shortest round-trip form. Every digest in
// the system is taken over this text, so its output is fixed to the byte.
#include <string>
#include <string_view>

#include "document/value.hpp"

namespace velatro::document {

void append_json_string(std::string& out, std::string_view text);
void append_json(std::string& out, const Value& value);
std::string to_json(const Value& value);

}  // namespace velatro::document
