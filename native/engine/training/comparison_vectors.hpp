#pragma once
// Comparison vectors: the level of every field for one pair of records, the unit that
// training counts. A vector is packed into one 64-bit code (mixed radix: each field has
// its levels plus the null level), so pairs are counted per distinct vector and the
// expectation-maximisation runs over a few thousand distinct vectors instead of
// millions of pairs.
#include <cstddef>
#include <cstdint>
#include <unordered_map>
#include <vector>

#include "engine/entity.hpp"
#include "engine/match/match_rule.hpp"
#include "engine/model/level_model.hpp"

namespace velatro::engine::training {

class VectorCodec {
  public:
    // Fails (velatro::Error) when the fields' level counts do not fit one code.
    explicit VectorCodec(const LevelModel& model);

    [[nodiscard]] std::size_t fields() const noexcept { return radix_.size(); }
    // Levels of field k, null level not counted.
    [[nodiscard]] std::size_t levels(std::size_t k) const noexcept { return radix_[k] - 1u; }
    // levels[k] is the level of field k or kNullLevel.
    [[nodiscard]] std::uint64_t encode(const int* levels) const noexcept;
    // The level of field k in a code, or kNullLevel.
    [[nodiscard]] int level(std::uint64_t code, std::size_t k) const noexcept {
        return static_cast<int>((code / stride_[k]) % radix_[k]) - 1;
    }

  private:
    std::vector<std::uint64_t> radix_;
    std::vector<std::uint64_t> stride_;
};

using VectorCounts = std::unordered_map<std::uint64_t, std::uint64_t>;

// Distinct vectors with their counts, in ascending code order (so that every sum over
// them runs in one fixed order), levels unpacked: levels[v * fields + k].
struct VectorTable {
    std::size_t fields = 0;
    std::vector<std::uint64_t> codes;
    std::vector<int> levels;
    std::vector<double> counts;
    std::uint64_t pairs = 0;

    [[nodiscard]] std::size_t size() const noexcept { return codes.size(); }
    [[nodiscard]] int level(std::size_t v, std::size_t k) const { return levels[v * fields + k]; }
};

VectorTable make_table(const VectorCounts& counts, const VectorCodec& codec);
void add_counts(VectorCounts& into, const VectorCounts& from);

// Every record prepared once for every field of the model, so that classifying a pair
// only compares.
class PreparedRecords {
  public:
    PreparedRecords(const LevelModel& model, const std::vector<NormalizedEntity>& entities,
                    std::size_t threads);

    [[nodiscard]] const PreparedValue* of(std::size_t record) const {
        return values_.data() + record * slots_;
    }
    // The code of the pair's comparison vector.
    [[nodiscard]] std::uint64_t code(std::size_t a, std::size_t b, const VectorCodec& codec,
                                     int* scratch) const;

  private:
    const LevelModel& model_;
    std::size_t slots_;
    std::vector<PreparedValue> values_;
};

}  // namespace velatro::engine::training
