#pragma once
// Fellegi-Sunter scoring by comparison levels. A pair's score is its match weight:
//   score = log2(prior / (1 - prior)) + sum over fields of weight(level of the field)
// with weight = field weight x log2(m / u) of the level, 0 for a field whose value is
// missing on either side, and for an exact agreement on a field that adjusts by term
// frequency u replaced by the frequency of the shared value. The model's probability
// that the pair is a match is then 1 / (1 + 2^-score).
#include <cstddef>
#include <vector>

#include "engine/entity.hpp"
#include "engine/match/match_rule.hpp"
#include "engine/model/field_levels.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::engine {

class TermFrequencies;

// What one field contributed to a pair's score.
struct FieldWeight {
    int level = kNullLevel;
    double weight = 0.0;         // term-frequency adjustment included
    double tf_adjustment = 0.0;  // the part of weight that the value's frequency made
};

class LevelModel {
  public:
    explicit LevelModel(const plan::CompiledFellegiSunterPlan& plan);

    [[nodiscard]] const std::vector<FieldLevels>& fields() const noexcept { return fields_; }
    [[nodiscard]] const plan::CompiledFsField& plan_field(std::size_t k) const {
        return plan_fields_[k];
    }
    // PreparedValue slots of one record for all fields, field k's from offset(k) on.
    [[nodiscard]] std::size_t slots() const noexcept { return slots_; }
    [[nodiscard]] std::size_t offset(std::size_t k) const { return offsets_[k]; }
    void prepare(const NormalizedEntity& entity, PreparedValue* out) const;

    [[nodiscard]] double prior() const noexcept { return prior_; }
    [[nodiscard]] double prior_weight() const noexcept { return prior_weight_; }
    [[nodiscard]] bool needs_term_frequencies() const noexcept { return needs_tf_; }

    // Field k's contribution for two prepared records (their slots of all fields).
    [[nodiscard]] FieldWeight weigh(std::size_t k, const PreparedValue* a, const PreparedValue* b,
                                    const TermFrequencies* tf) const;
    // The pair's score; out receives one FieldWeight per field.
    [[nodiscard]] double score(const PreparedValue* a, const PreparedValue* b,
                               const TermFrequencies* tf, FieldWeight* out) const;

    [[nodiscard]] static double posterior(double score) noexcept;
    // log2(p / (1 - p)): the match weight of a probability.
    [[nodiscard]] static double weight_of_probability(double p) noexcept;

  private:
    std::vector<plan::CompiledFsField> plan_fields_;
    std::vector<FieldLevels> fields_;
    std::vector<std::size_t> offsets_;
    std::size_t slots_ = 0;
    double prior_ = 0.5;
    double prior_weight_ = 0.0;
    bool needs_tf_ = false;
};

}  // namespace velatro::engine
