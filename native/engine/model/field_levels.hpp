#pragma once
// The comparison levels of one Fellegi-Sunter field: which level a pair of records falls
// into, from their two values of the field. A record's value is normalised once with the
// field's normalizer and prepared for every measure the levels use, so classifying a
// pair only compares prepared values; each measure is computed at most once per pair
// however many levels test it.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/entity.hpp"
#include "engine/match/match_rule.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::engine {

// A pair whose value is missing on either side: the field says nothing (weight 0).
inline constexpr int kNullLevel = -1;

class FieldLevels {
  public:
    explicit FieldLevels(const plan::CompiledFsField& field);

    [[nodiscard]] const std::string& field() const noexcept { return field_; }
    [[nodiscard]] const std::vector<plan::CompiledFsLevel>& levels() const noexcept {
        return levels_;
    }

    // PreparedValue slots one record takes; slot 0 holds the normalised value.
    [[nodiscard]] std::size_t slots() const noexcept { return slots_; }
    void prepare(const NormalizedEntity& entity, PreparedValue* out) const;

    // The first level whose condition the two prepared values meet (the last level is
    // "else" and takes the rest), or kNullLevel when either value is missing.
    [[nodiscard]] int level(const PreparedValue* a, const PreparedValue* b) const;

    // The normalised value of a prepared record, the key of term frequencies; nullptr
    // when it is missing.
    [[nodiscard]] static const std::string* value(const PreparedValue* prepared) noexcept {
        return prepared[0].present ? &prepared[0].text : nullptr;
    }
    // The normalised value of a record, or nothing when it is missing.
    [[nodiscard]] bool normalised(const NormalizedEntity& entity, std::string& out) const;

  private:
    enum Need : std::uint8_t { kChars = 1, kSoundex = 2, kMetaphone = 4, kBigrams = 8 };

    std::string field_;
    std::optional<std::string> normalizer_;
    std::vector<plan::CompiledFsLevel> levels_;
    std::uint8_t needs_ = 0;
    // Slot of each prepared part (0 when not needed).
    std::size_t soundex_slot_ = 0, metaphone_slot_ = 0, bigram_slot_ = 0;
    std::size_t slots_ = 1;
};

}  // namespace velatro::engine
