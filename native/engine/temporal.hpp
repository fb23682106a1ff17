#pragma once
// Validity of a pair of records at a point in time, by the plan's temporal strategy.
#include <optional>

#include "engine/entity.hpp"
#include "plan/enums.hpp"

namespace velatro::engine {

enum class TemporalOutcome : std::uint8_t { Valid, Invalid, NoOverlap };

struct TemporalResult {
    TemporalOutcome outcome = TemporalOutcome::Valid;
    double factor = 1.0;
};

class TemporalMatcher {
  public:
    explicit TemporalMatcher(plan::TemporalStrategy strategy) : strategy_(strategy) {}

    // as_of absent: the current UTC time.
    [[nodiscard]] TemporalResult evaluate(const NormalizedEntity& a, const NormalizedEntity& b,
                                          std::optional<UtcDateTime> as_of = std::nullopt) const;

    [[nodiscard]] plan::TemporalStrategy strategy() const { return strategy_; }

  private:
    plan::TemporalStrategy strategy_;
};

}  // namespace velatro::engine
