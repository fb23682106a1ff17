#include "engine/training/training_report.hpp"

#include <cmath>

namespace velatro::engine::training {

namespace {

using document::Array;
using document::Object;
using document::Value;

Value number(double v) {
    return std::isfinite(v) ? Value(v) : Value(nullptr);
}

Value texts(const std::vector<std::string>& items) {
    Array out;
    for (const auto& s : items) out.emplace_back(s);
    return out;
}

Value numbers(const std::vector<double>& items) {
    Array out;
    for (double v : items) out.push_back(number(v));
    return out;
}

Value level_value(const LevelEstimate& level) {
    Object o;
    o.emplace("name", level.name);
    o.emplace("comparator", std::string(plan::enum_name(level.comparator)));
    o.emplace("threshold", number(level.threshold));
    o.emplace("m_probability", number(level.m));
    o.emplace("u_probability", number(level.u));
    o.emplace("match_weight", number(level.weight));
    o.emplace("random_pairs", level.random_pairs);
    return o;
}

Value field_value(const FieldEstimate& field) {
    Array levels;
    for (const auto& level : field.levels) levels.push_back(level_value(level));
    Object o;
    o.emplace("name", field.name);
    o.emplace("m_estimated", field.m_estimated);
    o.emplace("default_levels", field.default_levels);
    o.emplace("levels", std::move(levels));
    return o;
}

Value pass_value(const PassReport& pass) {
    Object o;
    o.emplace("blocking_fields", texts(pass.blocking_fields));
    o.emplace("fixed_fields", texts(pass.fixed_fields));
    o.emplace("pairs", pass.pairs);
    o.emplace("distinct_vectors", pass.distinct_vectors);
    o.emplace("iterations", pass.iterations);
    o.emplace("converged", pass.converged);
    o.emplace("lambda", number(pass.lambda));
    o.emplace("trace", numbers(pass.trace));
    return o;
}

Value threshold_value(const std::optional<ThresholdChoice>& choice) {
    if (!choice) return nullptr;
    Object o;
    o.emplace("threshold", number(choice->threshold));
    o.emplace("precision", number(choice->precision));
    o.emplace("recall", number(choice->recall));
    o.emplace("f1", number(choice->f1));
    o.emplace("expected_matches", number(choice->expected_matches));
    return o;
}

Value bin_value(const ScoreBin& bin) {
    Object o;
    o.emplace("lower", number(bin.lower));
    o.emplace("upper", number(bin.upper));
    o.emplace("merge", bin.merge);
    o.emplace("review", bin.review);
    o.emplace("no_merge", bin.no_merge);
    o.emplace("expected_matches", number(bin.expected_matches));
    return o;
}

Value weight_value(const FieldWeight& w, const plan::CompiledFsField& field) {
    Object o;
    o.emplace("field", field.name);
    o.emplace("level", w.level == kNullLevel
                           ? Value(nullptr)
                           : Value((*field.levels)[static_cast<std::size_t>(w.level)].name));
    o.emplace("match_weight", number(w.weight));
    o.emplace("tf_adjustment", number(w.tf_adjustment));
    return o;
}

}  // namespace

Value to_value(const ScoreDistribution& distribution) {
    Array bins;
    for (const auto& bin : distribution.bins) bins.push_back(bin_value(bin));
    Object o;
    o.emplace("scale",
              distribution.scale == ScoreScale::MatchWeight ? "match_weight" : "probability");
    o.emplace("calibrated", distribution.calibrated);
    o.emplace("unscored", distribution.unscored);
    o.emplace("bins", std::move(bins));
    o.emplace("suggested_threshold", threshold_value(suggest_threshold(distribution)));
    return o;
}

Value to_value(const TrainingResult& result) {
    Array fields, passes;
    for (const auto& field : result.fields) fields.push_back(field_value(field));
    for (const auto& pass : result.passes) passes.push_back(pass_value(pass));
    Object o;
    o.emplace("method", result.method);
    o.emplace("fields", std::move(fields));
    o.emplace("prior", number(result.prior));
    o.emplace("iterations", result.iterations);
    o.emplace("passes", std::move(passes));
    o.emplace("random_pairs", result.random_pairs);
    o.emplace("candidate_pairs", result.candidate_pairs);
    o.emplace("labelled_matches", result.labelled_matches);
    o.emplace("score_distribution", to_value(result.distribution));
    o.emplace("suggested_threshold", threshold_value(result.threshold));
    o.emplace("match_threshold", number(result.match_threshold));
    o.emplace("possible_threshold", number(result.possible_threshold));
    return o;
}

Value to_value(const ReconciliationEngine::Waterfall& waterfall, const LevelModel& model) {
    Array fields;
    for (std::size_t k = 0; k < waterfall.fields.size(); ++k)
        fields.push_back(weight_value(waterfall.fields[k], model.plan_field(k)));
    Object o;
    o.emplace("prior", number(waterfall.prior_weight));
    o.emplace("fields", std::move(fields));
    o.emplace("total", number(waterfall.score));
    o.emplace("posterior_probability", number(waterfall.posterior));
    return o;
}

}  // namespace velatro::engine::training
