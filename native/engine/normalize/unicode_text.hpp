#pragma once
// The Unicode text services the normalizers and rules share: White_Space, full lowercase
// mapping and NFC. Every function takes a fast path without ICU for pure ASCII text,
// which is what most record values are.
#include <string>
#include <string_view>

namespace velatro::engine {

[[nodiscard]] bool is_ascii(std::string_view text) noexcept;

// The White_Space property (ASCII: tab, line feed, vertical tab, form feed, carriage
// return, space).
[[nodiscard]] bool is_white_space(char32_t c) noexcept;

// Leading and trailing White_Space removed; a view into `text`.
[[nodiscard]] std::string_view trim_white_space(std::string_view text) noexcept;

// Full lowercase mapping (one character may become several; a capital sigma at the end
// of a word becomes a final sigma), in the root locale.
[[nodiscard]] std::string to_lowercase(std::string_view text);

// Canonical composition (NFC); compatibility mappings are not applied.
[[nodiscard]] std::string to_nfc(std::string_view text);

// Runs of White_Space become one space; leading and trailing ones are dropped.
[[nodiscard]] std::string fold_white_space(std::string_view text);

}  // namespace velatro::engine
