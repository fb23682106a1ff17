#pragma once
// A reconciliation run as a pipeline of stages, each a function with a named output:
//
//   build_id_index      IdIndex         which record each id stands for
//   build_block_index   BlockIndex      block keys, blocks, each record's blocks
//   prepare_values      PreparedValues  every rule's preparation of every paired record
//   evaluate_blocks     PairEvaluation  kept pairs, their outcomes, telemetry
//   evaluate_neighborhood               (adds the sorted-neighbourhood pairs)
//   order_pairs         OrderedPairs    the kept pairs in their final order
//   cluster_pairs       Clustering      clusters of merged records
//   golden_record       GoldenRecord    per cluster (survivorship)
//
// and a sink that receives the results (result_sink.hpp). Results and telemetry do not
// depend on the number of threads.
#include <string>
#include <vector>

#include "engine/run/block_index.hpp"
#include "engine/run/clustering.hpp"
#include "engine/run/id_index.hpp"
#include "engine/run/neighborhood.hpp"
#include "engine/run/pair_evaluation.hpp"
#include "engine/run/pair_order.hpp"
#include "engine/run/prepared_values.hpp"
#include "engine/run/result_sink.hpp"
#include "engine/run/run_context.hpp"
#include "engine/run/run_options.hpp"
#include "engine/run/run_profile.hpp"
#include "plan/identity_plan.hpp"

namespace velatro::engine {

// The pair stages, from the records to the ordered kept pairs.
struct PairRun {
    IdIndex ids;
    std::vector<std::vector<std::string>> keys;  // the texts behind KeptPair::key
    OrderedPairs ordered;
};

// Fills the profile's pair stages and counts when one is given.
PairRun run_pairs(const RunContext& run, RunProfile* profile = nullptr);

// The whole run, results into the sink. The records are the run's own: once the golden
// records are built their data fields are released (the decisions need only ids and
// names), which keeps the peak low while a sink builds the largest part of its output.
// Throws RunCancelled when options.cancel is set, velatro::Error on bad input, and
// whatever the sink throws; nothing is left behind.
void reconcile(const ReconciliationEngine& engine, const plan::SurvivorshipPolicy& survivorship,
               std::vector<NormalizedEntity> entities, const OverrideResolver& overrides,
               const RunOptions& options, ResultSink& sink);

}  // namespace velatro::engine
