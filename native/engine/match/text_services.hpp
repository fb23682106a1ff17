#pragma once
// The Unicode character services the phonetic codes need beyond those the normalizers
// share: the full upper-case mapping (ß becomes SS) and the Alphabetic property.
#include <string>
#include <string_view>

namespace velatro::engine {

std::u32string to_upper(std::u32string_view text);
bool is_alphabetic(char32_t c) noexcept;

}  // namespace velatro::engine
