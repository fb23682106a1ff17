#pragma once
// Normalisation by name for the match rules: "name", "email", "phone", "domain" and
// "nickname" select their normalizer (exact, case-sensitive names); any other name
// trims white space and lowercases. A value the normalizer rejects is used as it was
// passed in; the rejection is deliberately silent.
#include <string>
#include <string_view>

namespace velatro::engine {

std::string apply_normalizer(std::string_view normalizer, std::string_view value);

}  // namespace velatro::engine
