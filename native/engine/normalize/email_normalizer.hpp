#pragma once
// Mail addresses: trimmed and lowercased; at the two Gmail domains, where tags and dots
// do not change the mailbox, the local part loses its "+tag" and its dots.
#include "engine/normalize/normalizer.hpp"

namespace velatro::engine {

class EmailNormalizer final : public Normalizer {
public:
    [[nodiscard]] NormalizeResult normalize(std::string_view text) const override;
};

}  // namespace velatro::engine
