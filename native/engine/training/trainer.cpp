#include "engine/training/trainer.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>

#include "document/error.hpp"
#include "engine/compiler.hpp"
#include "engine/model/level_model.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/training/blocked_pairs.hpp"
#include "engine/training/comparison_vectors.hpp"
#include "engine/training/default_levels.hpp"
#include "engine/training/em.hpp"
#include "engine/training/random_pairs.hpp"

namespace velatro::engine::training {

namespace {

// A match probability of 0.1: where the learned spec's review band starts.
constexpr double kReviewProbability = 0.1;
constexpr double kStartLambda = 0.1;

// The spec as training reads it: every field with levels, so that there is a model.
struct Model {
    spec::IdentitySpec spec;
    std::vector<bool> defaulted;  // by field: training chose its levels
    plan::IdentityPlan plan;
    ReconciliationEngine engine;
    LevelModel levels;
};

std::vector<spec::FsFieldSpec>& fs_fields(spec::IdentitySpec& spec) {
    auto& scoring = spec.decision.scoring;
    if (!scoring || scoring->strategy != spec::ScoringStrategy::FellegiSunter || !scoring->fields ||
        scoring->fields->empty())
        throw velatro::Error(
            "training needs decision.scoring with strategy fellegi_sunter and at least one "
            "field");
    return *scoring->fields;
}

Model model_of(const spec::IdentitySpec& original) {
    spec::IdentitySpec spec = original;
    auto& fields = fs_fields(spec);
    std::vector<bool> defaulted;
    for (const auto& field : fields) defaulted.push_back(!field.levels);
    add_default_levels(fields);
    // Thresholds are only needed for the plan to exist; training sets its own.
    if (!spec.decision.scoring->thresholds)
        spec.decision.scoring->thresholds = spec::FsThresholds{};
    plan::IdentityPlan plan = SpecCompiler::compile(spec);
    ReconciliationEngine engine = ReconciliationEngine::from_plan(plan);
    LevelModel levels(*plan.decision.fellegi_sunter);
    return Model{std::move(spec), std::move(defaulted), std::move(plan), std::move(engine),
                 std::move(levels)};
}

std::vector<BlockingPass> training_passes(const Model& model, const TrainingOptions& options) {
    if (options.em_blocking.empty()) return blocking_passes(model.plan.blocking);
    plan::CompiledBlocking blocking;
    for (const auto& fields : options.em_blocking)
        blocking.keys.push_back({fields, SpecCompiler::infer_transformations(fields)});
    return blocking_passes(blocking);
}

LevelTable start_table(const Model& model) {
    const auto& fields = *model.spec.decision.scoring->fields;
    LevelTable out;
    for (std::size_t k = 0; k < fields.size(); ++k)
        out.push_back(starting_m(*fields[k].levels, model.levels.fields()[k].levels().size()));
    return out;
}

// ---- m by expectation-maximisation ------------------------------------------------

struct LearnedM {
    LevelTable m;
    std::vector<bool> estimated;
};

PassReport run_pass(const BlockingPass& pass, const VectorTable& table, const Model& model,
                    const UEstimate& u, const LevelTable& start, const TrainingOptions& options,
                    LearnedM& sums, std::vector<std::size_t>& passes_of_field) {
    const auto& fields = model.levels.fields();
    PassReport report;
    report.blocking_fields = pass.fields;
    report.pairs = table.pairs;
    report.distinct_vectors = table.size();
    std::vector<bool> active;
    for (const auto& field : fields) {
        const bool blocked =
            std::find(pass.fields.begin(), pass.fields.end(), field.field()) != pass.fields.end();
        active.push_back(!blocked);
        if (blocked) report.fixed_fields.push_back(field.field());
    }
    if (std::none_of(active.begin(), active.end(), [](bool a) { return a; }) || table.pairs == 0)
        return report;
    EmResult em =
        expectation_maximisation(table, u.u, start, kStartLambda, active,
                                 EmSettings{options.max_iterations, options.convergence_threshold});
    report.iterations = em.iterations;
    report.converged = em.converged;
    report.lambda = em.lambda;
    report.trace = std::move(em.trace);
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (!active[k]) continue;
        for (std::size_t l = 0; l < em.m[k].size(); ++l) sums.m[k][l] += em.m[k][l];
        ++passes_of_field[k];
        sums.estimated[k] = true;
    }
    return report;
}

// Each field's m is the mean over the passes that could learn it.
LearnedM m_by_em(const std::vector<BlockingPass>& passes, const BlockedCounts& counts,
                 const Model& model, const VectorCodec& codec, const UEstimate& u,
                 const TrainingOptions& options, TrainingResult& result) {
    const LevelTable start = start_table(model);
    LearnedM sums{LevelTable(start.size()), std::vector<bool>(start.size(), false)};
    for (std::size_t k = 0; k < start.size(); ++k) sums.m[k].assign(start[k].size(), 0.0);
    std::vector<std::size_t> passes_of_field(start.size(), 0);
    for (std::size_t p = 0; p < passes.size(); ++p) {
        const VectorTable table = make_table(counts.per_pass[p], codec);
        result.passes.push_back(
            run_pass(passes[p], table, model, u, start, options, sums, passes_of_field));
        result.iterations += result.passes.back().iterations;
    }
    for (std::size_t k = 0; k < start.size(); ++k)
        for (std::size_t l = 0; l < start[k].size(); ++l)
            sums.m[k][l] = passes_of_field[k]
                               ? sums.m[k][l] / static_cast<double>(passes_of_field[k])
                               : start[k][l];
    return sums;
}

// ---- m from labelled pairs --------------------------------------------------------

LearnedM m_by_labels(const std::vector<LabelledPair>& labels, std::size_t record_count,
                     const PreparedRecords& records, const VectorCodec& codec,
                     TrainingResult& result) {
    std::vector<std::vector<std::uint64_t>> counts(codec.fields());
    for (std::size_t k = 0; k < codec.fields(); ++k) counts[k].assign(codec.levels(k), 0);
    std::vector<int> scratch(codec.fields());
    for (const LabelledPair& pair : labels) {
        if (pair.a >= record_count || pair.b >= record_count)
            throw velatro::Error("a labelled pair names a record that is not among the records");
        if (!pair.match) continue;
        ++result.labelled_matches;
        const std::uint64_t code = records.code(pair.a, pair.b, codec, scratch.data());
        for (std::size_t k = 0; k < codec.fields(); ++k)
            if (int level = codec.level(code, k); level >= 0)
                ++counts[k][static_cast<std::size_t>(level)];
    }
    if (result.labelled_matches == 0)
        throw velatro::Error("the labelled pairs hold no match to estimate m from");
    LearnedM out;
    for (const auto& field_counts : counts) {
        out.m.push_back(smoothed_shares(field_counts));
        std::uint64_t seen = 0;
        for (auto c : field_counts) seen += c;
        out.estimated.push_back(seen > 0);
    }
    return out;
}

// ---- the model over all candidate pairs -------------------------------------------

LevelTable weights_of(const Model& model, const LevelTable& m, const LevelTable& u) {
    const auto& fields = *model.plan.decision.fellegi_sunter;
    LevelTable out(m.size());
    for (std::size_t k = 0; k < m.size(); ++k)
        for (std::size_t l = 0; l < m[k].size(); ++l)
            out[k].push_back(fields.fields[k].weight * std::log2(m[k][l] / u[k][l]));
    return out;
}

// The evidence of each distinct candidate vector, in bits.
std::vector<double> vector_weights(const VectorTable& table, const LevelTable& weights) {
    std::vector<double> out(table.size(), 0.0);
    for (std::size_t v = 0; v < table.size(); ++v)
        for (std::size_t k = 0; k < table.fields; ++k)
            if (int level = table.level(v, k); level >= 0)
                out[v] += weights[k][static_cast<std::size_t>(level)];
    return out;
}

// The prior that makes the model consistent with the data: the expected number of
// matches among the candidate pairs over the number of all record pairs, solved as a
// fixed point (pairs that blocking never formed are taken as non-matches).
double estimate_prior(const VectorTable& table, const std::vector<double>& weights,
                      std::size_t record_count) {
    const double all = static_cast<double>(record_count) *
                       static_cast<double>(record_count > 0 ? record_count - 1 : 0) / 2.0;
    if (!(all > 0.0) || table.pairs == 0) return 0.5;
    const double floor = 1.0 / all;
    double lambda = std::clamp(static_cast<double>(table.pairs) / all, floor, 0.5);
    for (int i = 0; i < 500; ++i) {
        const double prior_weight = LevelModel::weight_of_probability(lambda);
        double expected = 0.0;
        for (std::size_t v = 0; v < table.size(); ++v)
            expected += table.counts[v] * LevelModel::posterior(prior_weight + weights[v]);
        const double next = std::clamp(expected / all, floor, 0.5);
        const bool settled = std::fabs(next - lambda) <= 1e-9 * lambda;
        lambda = next;
        if (settled) break;
    }
    return lambda;
}

void describe_distribution(const VectorTable& table, const std::vector<double>& weights,
                           TrainingResult& result) {
    const double prior_weight = LevelModel::weight_of_probability(result.prior);
    auto histogram = [&](auto decide) {
        ScoreHistogram h;
        for (std::size_t v = 0; v < table.size(); ++v) {
            const double score = prior_weight + weights[v];
            h.record(ScoreScale::MatchWeight, score, LevelModel::posterior(score), decide(score),
                     static_cast<std::uint64_t>(table.counts[v]));
        }
        return h.distribution();
    };
    result.threshold = suggest_threshold(histogram([](double) { return Decision::NoMerge; }));
    result.match_threshold = result.threshold ? result.threshold->threshold : 0.0;
    result.possible_threshold =
        std::min(result.match_threshold, LevelModel::weight_of_probability(kReviewProbability));
    result.distribution = histogram([&](double score) {
        return score >= result.match_threshold      ? Decision::Merge
               : score >= result.possible_threshold ? Decision::Review
                                                    : Decision::NoMerge;
    });
}

void fill_fields(const Model& model, const LearnedM& learned, const UEstimate& u,
                 const LevelTable& weights, TrainingResult& result) {
    for (std::size_t k = 0; k < model.levels.fields().size(); ++k) {
        const auto& field = model.levels.fields()[k];
        FieldEstimate out{field.field(), learned.estimated[k], model.defaulted[k], {}};
        for (std::size_t l = 0; l < field.levels().size(); ++l) {
            const auto& level = field.levels()[l];
            out.levels.push_back({level.name, level.comparator, level.threshold, learned.m[k][l],
                                  u.u[k][l], weights[k][l], u.counts[k][l]});
        }
        result.fields.push_back(std::move(out));
    }
}

}  // namespace

TrainingOptions options_from(const spec::IdentitySpec& spec) {
    TrainingOptions out;
    const auto& scoring = spec.decision.scoring;
    if (scoring && scoring->training) {
        out.max_iterations = scoring->training->max_iterations;
        out.convergence_threshold = scoring->training->convergence_threshold;
        out.max_random_pairs = scoring->training->max_random_pairs;
    }
    return out;
}

TrainingResult train(const spec::IdentitySpec& spec, const std::vector<NormalizedEntity>& entities,
                     const TrainingOptions& options) {
    const Model model = model_of(spec);
    const VectorCodec codec(model.levels);
    const PreparedRecords records(model.levels, entities, options.threads);
    TrainingResult result;
    const UEstimate u = estimate_u(records, entities.size(), codec, options.max_random_pairs,
                                   options.seed, options.threads);
    result.random_pairs = u.pairs;

    const auto run_passes = blocking_passes(model.plan.blocking);
    if (run_passes.empty())
        throw velatro::Error("training needs blocking keys to form candidate pairs");
    const BlockedCounts run_counts =
        count_blocked(run_passes, model.engine, entities, records, codec, options.threads);
    if (run_counts.all.empty())
        throw velatro::Error("blocking formed no candidate pairs: there is nothing to train on");
    LearnedM learned;
    if (!options.labelled_pairs.empty()) {
        result.method = "labelled_pairs";
        learned = m_by_labels(options.labelled_pairs, entities.size(), records, codec, result);
    } else {
        result.method = "em";
        const auto passes = training_passes(model, options);
        learned = options.em_blocking.empty()
                      ? m_by_em(passes, run_counts, model, codec, u, options, result)
                      : m_by_em(passes,
                                count_blocked(passes, model.engine, entities, records, codec,
                                              options.threads),
                                model, codec, u, options, result);
    }
    const LevelTable weights = weights_of(model, learned.m, u.u);
    const VectorTable all = make_table(run_counts.all, codec);
    result.candidate_pairs = all.pairs;
    const std::vector<double> evidence = vector_weights(all, weights);
    result.prior = estimate_prior(all, evidence, entities.size());
    describe_distribution(all, evidence, result);
    fill_fields(model, learned, u, weights, result);
    return result;
}

}  // namespace velatro::engine::training
