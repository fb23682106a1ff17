#include "engine/run/neighborhood.hpp"

#include <algorithm>
#include <numeric>
#include <unordered_set>

namespace velatro::engine {
namespace {

constexpr std::string_view kSortedNeighborhoodKey = "SORTED_NEIGHBORHOOD";
// Records between two looks at the cancel flag.
constexpr std::size_t kCancelStride = 4096;

// Positions stand for ids: two records with the same id resolve to the same position.
std::uint64_t resolved_pair(const IdIndex& ids, std::uint32_t a, std::uint32_t b) {
    const std::uint64_t x = ids.resolved[a], y = ids.resolved[b];
    return x < y ? x << 32 | y : y << 32 | x;
}

std::vector<std::uint32_t> sort_order(const RunContext& run) {
    const auto& entities = run.entities;
    const std::size_t n = entities.size();
    std::vector<std::string> sort_keys(n);
    for (std::size_t i = 0; i < n; ++i) {
        for (const auto& field : run.engine.sort_fields()) {
            if (const std::string* v = entities[i].field(field))
                sort_keys[i] += ReconciliationEngine::lowercase(*v);
            sort_keys[i] += ':';
        }
    }
    std::vector<std::uint32_t> order(n);
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::uint32_t x, std::uint32_t y) { return sort_keys[x] < sort_keys[y]; });
    return order;
}

}  // namespace

void evaluate_neighborhood(const RunContext& run, const IdIndex& ids, PairEvaluation& evaluation) {
    const auto window = run.engine.neighborhood_window();
    const std::size_t n = run.entities.size();
    if (!window || run.engine.sort_fields().empty() || n == 0) return;
    std::unordered_set<std::uint64_t> seen;
    for (const KeptPair& p : evaluation.pairs) seen.insert(resolved_pair(ids, p.a, p.b));
    const std::vector<std::uint32_t> order = sort_order(run);
    PairWorker w;
    std::vector<PreparedValue> pa(run.engine.prepared_slots()), pb(run.engine.prepared_slots());
    for (std::size_t p = 0; p < n; ++p) {
        if (p % kCancelStride == 0) run.check_cancel();
        for (std::size_t q = p + 1; q < n && q - p < *window; ++q) {
            const std::uint32_t ia = order[p], ib = order[q];
            if (!seen.insert(resolved_pair(ids, ia, ib)).second) continue;
            run.engine.prepare(run.entities[ia], pa.data());
            run.engine.prepare(run.entities[ib], pb.data());
            w.judge(run, ia, ib, pa.data(), pb.data(), kSortedNeighborhoodKey, 1);
        }
    }
    w.absorb_into(evaluation);
}

}  // namespace velatro::engine
