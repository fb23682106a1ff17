#include "engine/temporal.hpp"

namespace velatro::engine {

TemporalResult TemporalMatcher::evaluate(const NormalizedEntity& a, const NormalizedEntity& b,
                                         std::optional<UtcDateTime> as_of) const {
    constexpr TemporalResult kValid{TemporalOutcome::Valid, 1.0};
    constexpr TemporalResult kInvalid{TemporalOutcome::Invalid, 0.0};
    // The clock is read only when a bound exists that it could be compared with.
    switch (strategy_) {
        case plan::TemporalStrategy::LatestOnly: {
            if (!a.valid_to && !b.valid_to) return kValid;
            const UtcDateTime t = as_of ? *as_of : UtcDateTime::now();
            if ((a.valid_to && *a.valid_to < t) || (b.valid_to && *b.valid_to < t)) return kInvalid;
            return kValid;
        }
        case plan::TemporalStrategy::PointInTime: {
            if (!a.valid_to && !b.valid_to && !a.valid_from && !b.valid_from) return kValid;
            const UtcDateTime t = as_of ? *as_of : UtcDateTime::now();
            auto valid_at = [&](const NormalizedEntity& e) {
                return (!e.valid_from || *e.valid_from <= t) && (!e.valid_to || *e.valid_to >= t);
            };
            return valid_at(a) && valid_at(b) ? kValid : kInvalid;
        }
        case plan::TemporalStrategy::BiTemporal: {
            const bool a_starts_in_time =
                !a.valid_from || !b.valid_to || *a.valid_from <= *b.valid_to;
            const bool b_starts_in_time =
                !b.valid_from || !a.valid_to || *b.valid_from <= *a.valid_to;
            if (a_starts_in_time && b_starts_in_time) return kValid;
            return TemporalResult{TemporalOutcome::NoOverlap, 0.0};
        }
    }
    return kValid;
}

}  // namespace velatro::engine
