#pragma once
// The second stage: every record that meets another is prepared once for every rule
// (normalised values, decoded characters, phonetic codes...), so that judging a pair
// only compares.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/run/block_index.hpp"

namespace velatro::engine {

struct PreparedValues {
    static constexpr std::uint32_t kUnprepared = UINT32_MAX;

    std::size_t rules = 0;  // values per record: the engine's prepared_slots()
    std::vector<std::uint32_t> slot;    // per record: its row in values, or kUnprepared
    std::vector<PreparedValue> values;  // one row of `rules` values per prepared record

    // The row of a record that is in a pairing block.
    [[nodiscard]] const PreparedValue* of(std::uint32_t entity) const {
        return values.data() + static_cast<std::size_t>(slot[entity]) * rules;
    }
};

PreparedValues prepare_values(const RunContext& run, const BlockIndex& index);

}  // namespace velatro::engine
