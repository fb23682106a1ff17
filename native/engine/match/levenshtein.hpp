#pragma once
// Levenshtein edit distance over characters (unit cost for insertion, deletion and
// substitution) and its normalised similarity 1 - d / max(len a, len b), 1.0 for two
// empty texts.
#include <cstddef>
#include <string_view>

#include "engine/match/char_text.hpp"

namespace velatro::engine {

std::size_t levenshtein_distance(std::string_view a, std::string_view b);
double normalized_levenshtein(std::string_view a, std::string_view b);
double normalized_levenshtein(const CharText& a, const CharText& b);

}  // namespace velatro::engine
