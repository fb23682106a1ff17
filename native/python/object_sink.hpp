#pragma once
// The result of reconcile_local as Python objects: a dict of "clusters", "decisions",
// "golden_records" and "telemetry". The run calls the sink with the interpreter lock
// released; the sink takes the lock only while it creates objects.
#include <vector>

#include "engine/run/result_sink.hpp"
#include "python/binding.hpp"
#include "python/result_writer.hpp"

namespace velatro::python {

class ObjectSink final : public engine::ResultSink {
  public:
    // Construct, take result() and destroy with the lock held.
    ObjectSink();
    ~ObjectSink() override;
    ObjectSink(const ObjectSink&) = delete;
    ObjectSink& operator=(const ObjectSink&) = delete;

    void clusters(const engine::Clustering& clustering,
                  const std::vector<engine::NormalizedEntity>& entities) override;
    void golden_records(std::size_t first, std::span<engine::GoldenRecord> records) override;
    void begin_decisions(std::size_t count) override;
    void decisions(const engine::DecisionBatch& batch) override;
    void telemetry(const engine::ReconciliationTelemetry& telemetry,
                   const engine::RunProfile* profile) override;

    // The dict, a new reference, or nullptr with a Python error set.
    PyObject* result();

  private:
    // Millions of new containers would otherwise trigger collections that find nothing
    // to collect; the collector's previous state comes back with the sink.
    int gc_was_enabled_;
    ResultWriter writer_;
    Ref clusters_, golden_records_, decisions_, telemetry_;
    std::vector<engine::MatchDecision> chunk_;  // the current batch, expanded
};

}  // namespace velatro::python
