#pragma once
// Telephone numbers in E.164 form ("+15551234567"); ten digits without "+" are taken
// as a North American number.
#include "engine/normalize/normalizer.hpp"

namespace velatro::engine {

class PhoneNormalizer final : public Normalizer {
public:
    [[nodiscard]] NormalizeResult normalize(std::string_view text) const override;
};

}  // namespace velatro::engine
