#pragma once
// The comparison vectors of the candidate pairs that blocking forms, counted once per
// blocking pass: one pass per blocking key of the plan (and one for LSH when the plan
// uses it). Expectation-maximisation runs per pass with the pass's own fields left out,
// as every candidate pair of a pass agrees on them by construction. A pair sharing
// several blocks of one pass counts once (under its smallest shared key), and the union
// over all passes counts each pair once as the run would compare it.
#include <memory>
#include <string>
#include <vector>

#include "engine/blocking/blocking_strategy.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/training/comparison_vectors.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::engine::training {

struct BlockingPass {
    std::shared_ptr<const BlockingStrategy> strategy;
    std::vector<std::string> fields;  // the entity fields it blocks on
};

std::vector<BlockingPass> blocking_passes(const plan::CompiledBlocking& blocking);

struct BlockedCounts {
    std::vector<VectorCounts> per_pass;
    VectorCounts all;  // every candidate pair once
};

// Records that an exclusion keeps out of blocking (engine.excluded_from_blocking) form
// no pair, as in the run.
BlockedCounts count_blocked(const std::vector<BlockingPass>& passes,
                            const ReconciliationEngine& engine,
                            const std::vector<NormalizedEntity>& entities,
                            const PreparedRecords& records, const VectorCodec& codec,
                            std::size_t threads);

}  // namespace velatro::engine::training
