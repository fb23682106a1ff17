#pragma once
// Given names: a whole name that is a known nickname becomes its canonical name
// ("bobby" gives "robert"). Anything else comes back name-normalised.
#include <span>
#include <string_view>

#include "engine/normalize/normalizer.hpp"

namespace velatro::engine {

class NicknameNormalizer final : public Normalizer {
public:
    [[nodiscard]] NormalizeResult normalize(std::string_view text) const override;
};


struct NicknameEntry {
    std::string_view nickname;
    std::string_view canonical;
};

// The built-in table, sorted by nickname.
[[nodiscard]] std::span<const NicknameEntry> nickname_table() noexcept;

}  // namespace velatro::engine
