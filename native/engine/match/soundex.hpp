#pragma once
// American Soundex: the first letter and three digits, "R163" for Robert. Only letters
// count (digits, blanks and punctuation are dropped); a value without letters has the
// empty code, so two such values agree.
#include <string>
#include <string_view>

namespace velatro::engine {

std::string soundex(std::string_view value);

}  // namespace velatro::engine
