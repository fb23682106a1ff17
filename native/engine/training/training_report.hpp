#pragma once
// The training result and score distributions as document trees, the form the Python
// layer receives (non-finite numbers, such as the open ends of the outer bins, as null).
#include "document/value.hpp"
#include "engine/model/score_histogram.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/training/trainer.hpp"

namespace velatro::engine::training {

document::Value to_value(const TrainingResult& result);
// The bins, and the suggested threshold under the model (null when not calibrated).
document::Value to_value(const ScoreDistribution& distribution);
// Prior, fields with their level names, weights and term-frequency parts, total.
document::Value to_value(const ReconciliationEngine::Waterfall& waterfall, const LevelModel& model);

}  // namespace velatro::engine::training
