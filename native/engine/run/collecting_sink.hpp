#pragma once
// A sink that keeps every result as engine objects: for C++ callers that want the whole
// result in memory, and for tests.
#include <optional>
#include <vector>

#include "engine/run/pipeline.hpp"

namespace velatro::engine {

struct CollectedRun {
    Clustering clustering;
    std::vector<GoldenRecord> golden_records;
    std::vector<MatchDecision> decisions;
    ReconciliationTelemetry telemetry;
    std::optional<RunProfile> profile;
};

class CollectingSink final : public ResultSink {
  public:
    CollectedRun result;

    void clusters(const Clustering& clustering,
                  const std::vector<NormalizedEntity>& entities) override;
    void golden_records(std::size_t first, std::span<GoldenRecord> records) override;
    void begin_decisions(std::size_t count) override;
    void decisions(const DecisionBatch& batch) override;
    void telemetry(const ReconciliationTelemetry& telemetry, const RunProfile* profile) override;
};

// reconcile into a CollectingSink.
CollectedRun reconcile_collected(const ReconciliationEngine& engine,
                                 const plan::SurvivorshipPolicy& survivorship,
                                 std::vector<NormalizedEntity> entities,
                                 const OverrideResolver& overrides, const RunOptions& options = {});

}  // namespace velatro::engine
