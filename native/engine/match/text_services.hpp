#pragma once
// The few Unicode character services the match rules need beyond the normalizers: the
// full upper-case mapping of the phonetic codes (ß becomes SS), the Alphabetic and
// White_Space properties, and trimming.
#include <string>
#include <string_view>

namespace velatro::engine {

std::u32string to_upper(std::u32string_view text);
bool is_alphabetic(char32_t c) noexcept;
bool is_white_space(char32_t c) noexcept;

// Strips White_Space characters from both ends of UTF-8 text.
std::string_view trim_white_space(std::string_view text);

}  // namespace velatro::engine
