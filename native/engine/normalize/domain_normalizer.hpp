#pragma once
// Web domains: scheme ("http", "https"), one "www." and any path removed. Never fails.
#include "engine/normalize/normalizer.hpp"

namespace velatro::engine {

class DomainNormalizer final : public Normalizer {
public:
    [[nodiscard]] NormalizeResult normalize(std::string_view text) const override;
};

}  // namespace velatro::engine
