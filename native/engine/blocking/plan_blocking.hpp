#pragma once
#include <cstddef>
#include <string>
#include <vector>

#include "engine/blocking/blocking_strategy.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::engine {

// Block keys from the plan's blocking keys: each blocking key joins the transformed
// values of its fields with "|", one key per combination when a transformation gives
// several values. Keys carry no field names or key numbers, so equal texts from two
// blocking keys fall into the same block.
class PlanBlocking final : public BlockingStrategy {
  public:
    // Bound on the combinations of one blocking key, so that multi-valued
    // transformations on several fields cannot multiply without limit.
    static constexpr std::size_t kMaxPartialKeys = 100;

    explicit PlanBlocking(std::vector<plan::BlockingKey> keys) : keys_(std::move(keys)) {}

    void append_block_keys(const NormalizedEntity& entity,
                           std::vector<std::string>& keys) const override;

    const std::vector<plan::BlockingKey>& keys() const noexcept { return keys_; }

  private:
    std::vector<plan::BlockingKey> keys_;
};

}  // namespace velatro::engine
