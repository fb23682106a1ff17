#pragma once
// A reconciliation run: block the records, evaluate every pair inside each block in
// parallel, keep the merge and review decisions in a fixed order, and cluster them.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "engine/entity.hpp"
#include "engine/overrides.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/telemetry.hpp"

namespace velatro::engine {

struct RunOptions {
    // Worker threads for the pair evaluation; 0 lets the pool use every logical
    // processor. Results do not depend on it.
    std::size_t threads = 0;
    // Value counts of the records for an engine that adjusts weights by term frequency;
    // when not given and the engine needs them, the run counts them itself.
    const TermFrequencies* term_frequencies = nullptr;
};

// A kept pair as the run holds it: the verdict and the rules' outcomes, without the
// rule-result texts. A large run keeps millions of these, and its caller usually turns
// each into its final form once, so the texts are built only then (see expand).
struct KeptPair {
    std::uint32_t a = 0;  // positions of the two records in the entity list
    std::uint32_t b = 0;
    std::size_t outcomes = 0;  // offset of the pair's rule outcomes in CompactRun::outcomes
    ReconciliationEngine::Verdict verdict;
    double factor = 1.0;   // temporal factor
    std::string_view key;  // the block key (storage owned by the CompactRun)
};

struct CompactRun {
    std::vector<KeptPair> pairs;  // in the run's final order
    std::vector<RuleOutcome> outcomes;
    ReconciliationTelemetry telemetry;
    std::vector<std::vector<std::string>> key_storage;  // behind KeptPair::key
};

CompactRun reconcile_compact(const ReconciliationEngine& engine,
                             const std::vector<NormalizedEntity>& entities,
                             const OverrideResolver& overrides, RunOptions options = {});

// The full decision of a kept pair, blocking key included.
MatchDecision expand(const ReconciliationEngine& engine,
                     const std::vector<NormalizedEntity>& entities, const CompactRun& run,
                     const KeptPair& pair);

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
Clustering cluster_decisions(const std::vector<NormalizedEntity>& entities, const CompactRun& run);

}  // namespace velatro::engine
