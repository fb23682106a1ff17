#include "engine/run/collecting_sink.hpp"

namespace velatro::engine {

void CollectingSink::clusters(const Clustering& clustering, const std::vector<NormalizedEntity>&) {
    result.clustering = clustering;
    result.golden_records.resize(clustering.clusters.size());
}

void CollectingSink::golden_records(std::size_t first, std::span<GoldenRecord> records) {
    std::move(records.begin(), records.end(), result.golden_records.begin() + first);
}

void CollectingSink::begin_decisions(std::size_t count) {
    result.decisions.resize(count);
}

void CollectingSink::decisions(const DecisionBatch& batch) {
    batch.results.expand(
        batch.pairs,
        std::span<MatchDecision>(result.decisions).subspan(batch.first, batch.pairs.size()));
}

void CollectingSink::telemetry(const ReconciliationTelemetry& telemetry,
                               const RunProfile* profile) {
    result.telemetry = telemetry;
    if (profile) result.profile = *profile;
}

CollectedRun reconcile_collected(const ReconciliationEngine& engine,
                                 const plan::SurvivorshipPolicy& survivorship,
                                 std::vector<NormalizedEntity> entities,
                                 const OverrideResolver& overrides, const RunOptions& options) {
    CollectingSink sink;
    reconcile(engine, survivorship, std::move(entities), overrides, options, sink);
    return std::move(sink.result);
}

}  // namespace velatro::engine
