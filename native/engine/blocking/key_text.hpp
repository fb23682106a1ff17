#pragma once
// The block-key transformations that work on the text alone. "Digits" are the ASCII
// digits 0 to 9 of a value, in order; every other character is dropped, so phone
// numbers in any punctuation agree.
#include <string>
#include <string_view>

#include "engine/blocking/text_list.hpp"

namespace velatro::engine {

// The first character of value, not case-folded; empty for an empty value.
std::string_view first_initial(std::string_view value) noexcept;

// The first three digits, skipping a leading "1" when there are 11 or more digits (a
// North American country code); value unchanged when it has fewer than 3 digits.
void area_code(std::string_view value, std::string& out);

// The last four digits; value unchanged when it has 3 digits or fewer.
void last4(std::string_view value, std::string& out);

// Every window of three consecutive characters, in order, repeats kept; a value of
// fewer than three characters is passed on unchanged.
void append_trigrams(std::string_view value, TextList& out);

}  // namespace velatro::engine
