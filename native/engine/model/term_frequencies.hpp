#pragma once
// How often each value of a term-frequency field occurs among the records of a run: the
// stage that must see every record before any pair is scored, since a pair's agreement
// weight depends on how common its shared value is. Built once per run (or given to it)
// and only read while pairs are evaluated.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "engine/entity.hpp"

namespace velatro::engine {

class LevelModel;

class TermFrequencies {
  public:
    TermFrequencies() = default;

    // Counts the normalised values of every field of the model that adjusts by term
    // frequency, over all records (missing values do not count). threads 0: all
    // processors.
    static TermFrequencies count(const LevelModel& model,
                                 const std::vector<NormalizedEntity>& entities,
                                 std::size_t threads = 0);

    // The share of records with a value for field k whose value is this one; nothing
    // when field k is not counted or no record has the value.
    [[nodiscard]] std::optional<double> frequency(std::size_t k, std::string_view value) const;
    // How many records hold the value (0 when not counted).
    [[nodiscard]] std::uint64_t occurrences(std::size_t k, std::string_view value) const;

  private:
    struct Hash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const noexcept {
            return std::hash<std::string_view>{}(s);
        }
    };
    struct Table {
        std::unordered_map<std::string, std::uint64_t, Hash, std::equal_to<>> counts;
        std::uint64_t total = 0;
    };
    std::vector<std::optional<Table>> tables_;  // by model field
};

}  // namespace velatro::engine
