#include "engine/run/pair_order.hpp"

#include <tbb/parallel_sort.h>

#include <cmath>
#include <numeric>

namespace velatro::engine {
namespace {

// What the order compares, computed once per pair.
struct SortFacts {
    double confidence;
    std::size_t exact_scores;
    UtcDateTime earliest;  // of the two records' last updates
    Uuid lo, hi;
};

std::size_t count_exact_scores(const RuleOutcome* outcomes, std::size_t n) {
    constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52
    std::size_t count = 0;
    for (std::size_t r = 0; r < n; ++r)
        if (std::fabs(outcomes[r].score - 1.0) < kEpsilon) ++count;
    return count;
}

std::vector<SortFacts> sort_facts(const RunContext& run, const IdIndex& ids,
                                  const PairEvaluation& evaluation) {
    const auto& entities = run.entities;
    const std::size_t n_rules = run.engine.rules().size();
    std::vector<SortFacts> facts(evaluation.pairs.size());
    for (std::size_t k = 0; k < facts.size(); ++k) {
        const KeptPair& p = evaluation.pairs[k];
        SortFacts& f = facts[k];
        f.confidence = p.verdict.confidence;
        f.exact_scores = p.verdict.early == ReconciliationEngine::Early::None
                             ? count_exact_scores(evaluation.outcomes.data() + p.outcomes, n_rules)
                             : 0;
        // The records the ids stand for, which a neighbourhood pair need not be.
        f.earliest = std::min(entities[ids.resolved[p.a]].last_updated,
                              entities[ids.resolved[p.b]].last_updated);
        f.lo = std::min(entities[p.a].id, entities[p.b].id);
        f.hi = std::max(entities[p.a].id, entities[p.b].id);
    }
    return facts;
}

// A strict total order: kept pairs have distinct id pairs, and a kept verdict's
// confidence passed a threshold, so it is never NaN. The order therefore does not
// depend on the order the workers delivered the pairs in.
bool precedes(const SortFacts& x, const SortFacts& y,
              const std::vector<plan::TieBreaker>& tie_breakers) {
    if (x.confidence > y.confidence) return true;
    if (x.confidence < y.confidence) return false;
    for (plan::TieBreaker tb : tie_breakers) {
        switch (tb) {
            case plan::TieBreaker::ExactMatchPriority:
                if (x.exact_scores != y.exact_scores) return x.exact_scores > y.exact_scores;
                break;
            case plan::TieBreaker::LowestEntityId:
                if (x.lo != y.lo) return x.lo < y.lo;
                break;
            case plan::TieBreaker::EarliestTimestamp:
                if (x.earliest != y.earliest) return x.earliest < y.earliest;
                break;
        }
    }
    if (x.lo != y.lo) return x.lo < y.lo;
    return x.hi < y.hi;
}

}  // namespace

OrderedPairs order_pairs(const RunContext& run, const IdIndex& ids, PairEvaluation&& evaluation) {
    const std::vector<SortFacts> facts = sort_facts(run, ids, evaluation);
    const auto& tie_breakers = run.engine.tie_breakers();
    std::vector<std::uint32_t> order(facts.size());
    std::iota(order.begin(), order.end(), 0u);
    run.arena.execute([&] {
        tbb::parallel_sort(order.begin(), order.end(), [&](std::uint32_t i, std::uint32_t j) {
            return precedes(facts[i], facts[j], tie_breakers);
        });
    });
    OrderedPairs out;
    out.pairs.reserve(order.size());
    for (std::uint32_t k : order) out.pairs.push_back(evaluation.pairs[k]);
    evaluation.pairs = {};
    out.outcomes = std::move(evaluation.outcomes);
    out.telemetry = std::move(evaluation.telemetry).into_telemetry();
    return out;
}

}  // namespace velatro::engine
