#pragma once
// Manual decisions on specific pairs. The Python entry point never passes any, but
// the pair evaluation honours them so that other callers of the engine can.
#include <optional>
#include <vector>

#include "engine/uuid.hpp"

namespace velatro::engine {

enum class OverrideKind : std::uint8_t { Merge, Split, Lock };

struct ManualOverride {
    OverrideKind kind = OverrideKind::Merge;
    std::optional<Uuid> entity_a;
    std::optional<Uuid> entity_b;

    [[nodiscard]] bool applies_to(const Uuid& a, const Uuid& b) const {
        if (!entity_a || !entity_b) return false;
        return (*entity_a == a && *entity_b == b) || (*entity_a == b && *entity_b == a);
    }
};

class OverrideResolver {
  public:
    OverrideResolver() = default;
    explicit OverrideResolver(std::vector<ManualOverride> overrides)
        : overrides_(std::move(overrides)) {}

    [[nodiscard]] bool empty() const { return overrides_.empty(); }
    [[nodiscard]] const std::vector<ManualOverride>& overrides() const { return overrides_; }

    // Splits win over locks, locks over merges.
    [[nodiscard]] std::optional<OverrideKind> resolve(const Uuid& a, const Uuid& b) const {
        for (OverrideKind kind : {OverrideKind::Split, OverrideKind::Lock, OverrideKind::Merge})
            for (const auto& o : overrides_)
                if (o.kind == kind && o.applies_to(a, b)) return kind;
        return std::nullopt;
    }

  private:
    std::vector<ManualOverride> overrides_;
};

}  // namespace velatro::engine
