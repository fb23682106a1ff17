#pragma once
#include <string>
#include <vector>

#include "engine/entity.hpp"

namespace velatro::engine {

// Turns one entity record into its block keys. The run puts the record's id into the
// block of each key and compares only records that share a block; the key text is also
// reported on the decisions a block produces, so key texts are part of the results.
//
// Strategies are immutable after construction and shared read-only across threads.
class BlockingStrategy {
  public:
    virtual ~BlockingStrategy() = default;

    // The record's block keys in their defined order, possibly none, possibly with
    // repeats (a repeated key puts the record twice into one block). Never fails.
    std::vector<std::string> generate_block_key(const NormalizedEntity& entity) const {
        std::vector<std::string> keys;
        append_block_keys(entity, keys);
        return keys;
    }

    // Appends the keys of generate_block_key to keys, so that a caller blocking many
    // records can reuse one vector.
    virtual void append_block_keys(const NormalizedEntity& entity,
                                   std::vector<std::string>& keys) const = 0;
};

}  // namespace velatro::engine
