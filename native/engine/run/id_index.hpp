#pragma once
// Which record each record's id stands for. Records may share an id; the run treats
// them as one, the later record, wherever it pairs, orders or clusters by id.
#include <cstdint>
#include <vector>

#include "engine/entity.hpp"

namespace velatro::engine {

struct IdIndex {
    // resolved[i]: the position of the last record whose id is the id of record i.
    std::vector<std::uint32_t> resolved;
};

// Throws velatro::Error when the records do not fit 32-bit positions.
IdIndex build_id_index(const std::vector<NormalizedEntity>& entities);

}  // namespace velatro::engine
