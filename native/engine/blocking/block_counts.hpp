#pragma once
// Block sizes before any pair is compared: how many records each blocking key puts
// under each key text, the run's blocks (equal texts of different keys are one block)
// and the pairs they will produce. A pre-flight check reads these to warn about huge
// blocks and runs that compare nothing, at the cost of the blocking step alone.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/entity.hpp"
#include "engine/reconciliation_engine.hpp"

namespace velatro::engine {

struct BlockSize {
    std::string key;
    std::uint64_t records = 0;  // ids put under the key, repeats counted as the run does
};

struct KeyBlockCounts {
    // Position of the blocking key in the plan; -1 for the locality-sensitive keys.
    std::int64_t key_index = 0;
    std::uint64_t blocks = 0;
    std::uint64_t pairs = 0;         // sum of n(n-1)/2 over this key's blocks
    std::uint64_t records = 0;       // records that get at least one text from this key
    std::vector<BlockSize> largest;  // the largest blocks, largest first
};

struct BlockCounts {
    std::vector<KeyBlockCounts> keys;
    std::uint64_t blocks = 0;  // distinct key texts over all keys: the run's blocks
    std::uint64_t pairs = 0;   // pair evaluations of the run, before repeats are dropped
    std::uint64_t records_without_key = 0;
    // Records that get one text twice: the run pairs each of them with itself.
    std::uint64_t records_with_repeated_key = 0;
};

BlockCounts count_blocks(const ReconciliationEngine& engine,
                         const std::vector<NormalizedEntity>& entities, std::size_t largest);

}  // namespace velatro::engine
