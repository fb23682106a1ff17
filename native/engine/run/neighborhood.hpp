#pragma once
// The sorted-neighbourhood pass, after the blocks: each record meets the next window-1
// records in the order of its sort key, unless the two already have a kept verdict.
#include "engine/run/id_index.hpp"
#include "engine/run/pair_evaluation.hpp"

namespace velatro::engine {

// Does nothing unless the plan has a window and sort fields. Runs on the calling thread.
void evaluate_neighborhood(const RunContext& run, const IdIndex& ids, PairEvaluation& evaluation);

}  // namespace velatro::engine
