#pragma once
// The result of a run as three Arrow tables: one row per record with its cluster, one
// row per kept pair decision with every rule's score, one row per golden record. A
// result sink of the pipeline: rows are written straight from the run's compact form,
// no decision texts are built.
#include <optional>
#include <string>
#include <vector>

#include "columnar/batch_builder.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run/result_sink.hpp"

namespace velatro::columnar {

struct ResultTables {
    // source_name, external_id, record_id, cluster_id, velatro_id; clusters in order,
    // the members of each by ascending record id.
    Table clusters{{}};
    // a_id, b_id, a_source, a_external_id, b_source, b_external_id, decision,
    // confidence, posterior_probability, blocking_key, matched_on, temporal_adjustment,
    // then "score:<rule>" per rule (null when the pair was decided before any rule ran),
    // in the run's decision order.
    Table pairs{{}};
    // velatro_id, member_count, then one column per field that any golden record has,
    // by name; a record without the field has null there.
    Table golden{{}};
    engine::ReconciliationTelemetry telemetry;
    std::optional<engine::RunProfile> profile;  // when the run was asked for one
};

// Builds each table in parallel batches of its own, on the caller's worker threads, so it
// takes every chunk at once.
class TableSink final : public engine::ResultSink {
  public:
    explicit TableSink(const engine::ReconciliationEngine& engine) : engine_(engine) {}

    [[nodiscard]] std::size_t chunk_rows() const override { return SIZE_MAX; }
    void clusters(const engine::Clustering& clustering,
                  const std::vector<engine::NormalizedEntity>& entities) override;
    void golden_records(std::size_t first, std::span<engine::GoldenRecord> records) override;
    void begin_decisions(std::size_t) override {}
    void decisions(const engine::DecisionBatch& batch) override;
    void telemetry(const engine::ReconciliationTelemetry& telemetry,
                   const engine::RunProfile* profile) override;

    [[nodiscard]] ResultTables take() && { return std::move(tables_); }

  private:
    const engine::ReconciliationEngine& engine_;
    const engine::Clustering* clustering_ = nullptr;
    const std::vector<engine::NormalizedEntity>* entities_ = nullptr;
    ResultTables tables_;
};

// The names of the score columns, one per rule in plan order; a repeated rule name gets
// "#2", "#3"... so that every column name is unique.
std::vector<std::string> score_column_names(const engine::ReconciliationEngine& engine);

}  // namespace velatro::columnar
