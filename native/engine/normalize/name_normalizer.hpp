#pragma once
// Names as people write them: NFC, lowercase, single spaces. Never fails; punctuation,
// digits and accents are kept.
#include "engine/normalize/normalizer.hpp"

namespace velatro::engine {

class NameNormalizer final : public Normalizer {
public:
    [[nodiscard]] NormalizeResult normalize(std::string_view text) const override;
};

}  // namespace velatro::engine
