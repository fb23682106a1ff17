#pragma once
// A reconciliation run: block the records, evaluate every pair inside each block in
// parallel, keep the merge and review decisions in a fixed order, and cluster them.
#include <cstddef>
#include <vector>

#include "engine/entity.hpp"
#include "engine/overrides.hpp"
#include "engine/telemetry.hpp"

namespace velatro::engine {

class ReconciliationEngine;

struct RunOptions {
    // Worker threads for the pair evaluation; 0 lets the pool use every logical
    // processor. Results do not depend on it.
    std::size_t threads = 0;
};

struct RunResult {
    std::vector<MatchDecision> decisions;
    ReconciliationTelemetry telemetry;
};

RunResult reconcile_with_telemetry(const ReconciliationEngine& engine,
                                   const std::vector<NormalizedEntity>& entities,
                                   const OverrideResolver& overrides, RunOptions options = {});

// Clusters hold entity ids in ascending order and are ordered by their first id.
// members[k] lists the positions (in the entity list) of the records of cluster k in
// the same order as its ids, so later steps can use the very records clustering
// placed there even when two records share an id.
struct Clustering {
    std::vector<Cluster> clusters;
    std::vector<std::vector<std::size_t>> members;
};

Clustering cluster_decisions(const std::vector<NormalizedEntity>& entities,
                             const std::vector<MatchDecision>& decisions);

}  // namespace velatro::engine
