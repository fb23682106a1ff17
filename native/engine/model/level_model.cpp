#include "engine/model/level_model.hpp"

#include <algorithm>
#include <cmath>

#include "engine/model/term_frequencies.hpp"

namespace velatro::engine {

LevelModel::LevelModel(const plan::CompiledFellegiSunterPlan& plan)
    : plan_fields_(plan.fields), prior_(plan.prior.value_or(0.5)) {
    prior_weight_ = weight_of_probability(prior_);
    for (const auto& field : plan_fields_) {
        offsets_.push_back(slots_);
        fields_.emplace_back(field);
        slots_ += fields_.back().slots();
        needs_tf_ = needs_tf_ || field.term_frequency;
    }
}

void LevelModel::prepare(const NormalizedEntity& entity, PreparedValue* out) const {
    for (std::size_t k = 0; k < fields_.size(); ++k) fields_[k].prepare(entity, out + offsets_[k]);
}

FieldWeight LevelModel::weigh(std::size_t k, const PreparedValue* a, const PreparedValue* b,
                              const TermFrequencies* tf) const {
    const PreparedValue* pa = a + offsets_[k];
    const PreparedValue* pb = b + offsets_[k];
    FieldWeight out;
    out.level = fields_[k].level(pa, pb);
    if (out.level == kNullLevel) return out;
    const plan::CompiledFsField& field = plan_fields_[k];
    const plan::CompiledFsLevel& level = (*field.levels)[static_cast<std::size_t>(out.level)];
    out.weight = level.weight;
    // Agreeing on a common value is weaker evidence than agreeing on a rare one: the
    // chance that two non-matching records share this value is its frequency, not the
    // level's average u.
    if (tf && field.term_frequency && level.comparator == plan::FsLevelComparator::Exact &&
        level.m_probability && level.u_probability) {
        if (auto frequency = tf->frequency(k, *FieldLevels::value(pa))) {
            const double u = std::max(*frequency, field.term_frequency_min_u.value_or(0.0));
            out.weight = field.weight * std::log2(*level.m_probability / u);
            out.tf_adjustment = out.weight - level.weight;
        }
    }
    return out;
}

double LevelModel::score(const PreparedValue* a, const PreparedValue* b, const TermFrequencies* tf,
                         FieldWeight* out) const {
    double total = prior_weight_;
    for (std::size_t k = 0; k < fields_.size(); ++k) {
        out[k] = weigh(k, a, b, tf);
        total += out[k].weight;
    }
    return total;
}

double LevelModel::posterior(double score) noexcept {
    return 1.0 / (1.0 + std::exp2(-score));
}

double LevelModel::weight_of_probability(double p) noexcept {
    return std::log2(p / (1.0 - p));
}

}  // namespace velatro::engine
