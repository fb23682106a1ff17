#pragma once
// Jaro-Winkler similarity over characters: 1.0 for two empty texts, 0.0 when exactly
// one is empty; the Winkler prefix boost (0.1 per common leading character, at most
// four) applies only above a Jaro similarity of 0.7.
#include <string_view>

#include "engine/match/char_text.hpp"

namespace velatro::engine {

double jaro(std::string_view a, std::string_view b);
double jaro_winkler(std::string_view a, std::string_view b);
double jaro_winkler(const CharText& a, const CharText& b);

}  // namespace velatro::engine
