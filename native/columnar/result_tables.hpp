#pragma once
// The result of a run as three Arrow tables: one row per record with its cluster, one
// row per kept pair decision with every rule's score, one row per golden record. Rows
// are written straight from the run's compact form: no decision texts are built.
#include <string>
#include <vector>

#include "columnar/batch_builder.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run.hpp"
#include "engine/survivorship.hpp"

namespace velatro::columnar {

struct RunView {
    const engine::ReconciliationEngine& engine;
    const std::vector<engine::NormalizedEntity>& entities;
    const engine::CompactRun& run;
    const engine::Clustering& clustering;
    const std::vector<engine::GoldenRecord>& golden;  // one per cluster, in cluster order
};

// source_name, external_id, record_id, cluster_id, velatro_id; clusters in order, the
// members of each by ascending record id.
Table clusters_table(const RunView& view);

// a_id, b_id, a_source, a_external_id, b_source, b_external_id, decision, confidence,
// posterior_probability, blocking_key, matched_on, temporal_adjustment, then
// "score:<rule>" per rule (null when the pair was decided before any rule ran), in the
// run's decision order.
Table pairs_table(const RunView& view);

// velatro_id, member_count, then one column per field that any golden record has,
// by name; a record without the field has null there.
Table golden_table(const RunView& view);

// The names of the score columns, one per rule in plan order; a repeated rule name gets
// "#2", "#3"... so that every column name is unique.
std::vector<std::string> score_column_names(const engine::ReconciliationEngine& engine);

}  // namespace velatro::columnar
