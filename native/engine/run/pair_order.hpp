#pragma once
// The fourth stage: the kept pairs in the run's final order, confidence descending, then
// the plan's tie-breakers, then the pair of ids.
#include <vector>

#include "engine/run/id_index.hpp"
#include "engine/run/pair_evaluation.hpp"

namespace velatro::engine {

struct OrderedPairs {
    std::vector<KeptPair> pairs;  // in the final order
    std::vector<RuleOutcome> outcomes;
    ReconciliationTelemetry telemetry;
};

OrderedPairs order_pairs(const RunContext& run, const IdIndex& ids, PairEvaluation&& evaluation);

}  // namespace velatro::engine
