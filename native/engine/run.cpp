#include "engine/run.hpp"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <numeric>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "engine/temporal.hpp"

namespace velatro::engine {
namespace {

constexpr std::string_view kSortedNeighborhoodKey = "SORTED_NEIGHBORHOOD";

// One (key, record) produced by blocking. Entries are grouped into blocks by sorting on
// the key's hash first: blocks need not be visited in key order, because the run keeps
// for each pair the decision of its smallest key explicitly (see the de-duplication).
struct BlockEntry {
    std::uint64_t hash;
    std::string_view key;
    std::uint32_t entity;  // position of the record the id map resolves to
};

struct Block {
    std::size_t begin, end;  // range in the entries
};

// What each worker thread accumulates: its kept pairs with their outcomes, and the
// telemetry of every pair it evaluated. Merged at the end; nothing depends on how the
// work was split.
struct WorkerState {
    std::vector<KeptPair> pairs;
    std::vector<RuleOutcome> outcomes;
    std::vector<RuleOutcome> scratch;
    TelemetryCollector telemetry;
};

using IdMap = std::unordered_map<Uuid, std::uint32_t, UuidHash>;

// Evaluates one pair: temporal validity first (an invalid pair leaves no trace at all),
// then the engine's verdict; a merge or review is kept with its outcomes.
void evaluate(const ReconciliationEngine& engine, const std::vector<NormalizedEntity>& entities,
              std::uint32_t ia, std::uint32_t ib, const PreparedValue* pa, const PreparedValue* pb,
              const OverrideResolver& overrides, std::string_view key,
              const TermFrequencies* term_frequencies, WorkerState& w) {
    const NormalizedEntity& a = entities[ia];
    const NormalizedEntity& b = entities[ib];
    const TemporalResult t = engine.temporal_matcher().evaluate(a, b);
    if (t.outcome == TemporalOutcome::Invalid && t.factor == 0.0) return;
    const std::size_t n_outcomes = engine.outcome_slots();
    if (w.scratch.size() < n_outcomes) w.scratch.resize(n_outcomes);
    const auto verdict = engine.judge(a, b, pa, pb, overrides, t.factor, w.scratch.data(),
                                      &w.telemetry, term_frequencies);
    if (verdict.decision == Decision::NoMerge) return;
    KeptPair kept;
    kept.a = ia;
    kept.b = ib;
    kept.verdict = verdict;
    kept.factor = t.factor;
    kept.key = key;
    kept.outcomes = w.outcomes.size();
    if (verdict.early == ReconciliationEngine::Early::None)
        w.outcomes.insert(w.outcomes.end(), w.scratch.begin(), w.scratch.begin() + n_outcomes);
    w.pairs.push_back(kept);
}

std::size_t count_exact_scores(const RuleOutcome* outcomes, std::size_t n) {
    constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52
    std::size_t count = 0;
    for (std::size_t r = 0; r < n; ++r)
        if (std::fabs(outcomes[r].score - 1.0) < kEpsilon) ++count;
    return count;
}

}  // namespace

CompactRun reconcile_compact(const ReconciliationEngine& engine,
                             const std::vector<NormalizedEntity>& entities,
                             const OverrideResolver& overrides, RunOptions options) {
    const std::size_t n = entities.size();
    if (n >= UINT32_MAX) throw velatro::Error("too many entity records in one run");
    const std::size_t n_rules = engine.rules().size();
    const std::size_t n_slots = engine.prepared_slots();
    CompactRun run;

    TermFrequencies counted;
    const TermFrequencies* term_frequencies = options.term_frequencies;
    if (!term_frequencies && engine.needs_term_frequencies()) {
        counted = TermFrequencies::count(*engine.level_model(), entities, options.threads);
        term_frequencies = &counted;
    }

    // Id map: a repeated id resolves to the later record.
    IdMap by_id;
    by_id.reserve(n);
    for (std::size_t i = 0; i < n; ++i) by_id[entities[i].id] = static_cast<std::uint32_t>(i);

    tbb::task_arena arena(options.threads ? static_cast<int>(options.threads)
                                          : tbb::task_arena::automatic);

    // Block keys of every record that no exclusion keeps out, in the strategies' order.
    auto& keys = run.key_storage;
    keys.resize(n);
    const auto& strategies = engine.blocking_strategies();
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 256), [&](const auto& range) {
            for (std::size_t i = range.begin(); i < range.end(); ++i) {
                const NormalizedEntity& e = entities[i];
                if (engine.excluded_from_blocking(e)) continue;
                for (const auto& strategy : strategies) strategy->append_block_keys(e, keys[i]);
            }
        });
    });

    std::vector<BlockEntry> entries;
    {
        std::size_t total = 0;
        for (const auto& k : keys) total += k.size();
        entries.reserve(total);
    }
    const std::hash<std::string_view> hasher;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t resolved = by_id[entities[i].id];
        for (const auto& key : keys[i]) entries.push_back({hasher(key), key, resolved});
    }
    // Group by key (hash first, the text only on equal hashes) with ids ascending inside
    // each group. Entries equal on all three resolve to the same record.
    arena.execute([&] {
        tbb::parallel_sort(entries.begin(), entries.end(),
                           [&](const BlockEntry& x, const BlockEntry& y) {
                               if (x.hash != y.hash) return x.hash < y.hash;
                               if (int c = x.key.compare(y.key); c != 0) return c < 0;
                               return entities[x.entity].id < entities[y.entity].id;
                           });
    });
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t j = i + 1;
        while (j < entries.size() && entries[j].hash == entries[i].hash &&
               entries[j].key == entries[i].key)
            ++j;
        blocks.push_back({i, j});
        i = j;
    }

    // Every record that meets another is prepared once for every rule (normalised
    // values, decoded characters, phonetic codes...), so the pair loop only compares.
    constexpr std::uint32_t kUnprepared = UINT32_MAX;
    std::vector<std::uint32_t> slot(n, kUnprepared);
    std::vector<std::uint32_t> prepared_entities;
    for (const Block& block : blocks) {
        if (block.end - block.begin < 2) continue;
        for (std::size_t i = block.begin; i < block.end; ++i) {
            const std::uint32_t e = entries[i].entity;
            if (slot[e] == kUnprepared) {
                slot[e] = static_cast<std::uint32_t>(prepared_entities.size());
                prepared_entities.push_back(e);
            }
        }
    }
    std::vector<PreparedValue> prepared(prepared_entities.size() * n_slots);
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, prepared_entities.size(), 64),
                          [&](const auto& range) {
                              for (std::size_t k = range.begin(); k < range.end(); ++k)
                                  engine.prepare(entities[prepared_entities[k]],
                                                 prepared.data() + k * n_slots);
                          });
    });
    auto prepared_of = [&](std::uint32_t e) {
        return prepared.data() + static_cast<std::size_t>(slot[e]) * n_slots;
    };

    // Pairs inside each block, in parallel. Large blocks are split by rows as well, so
    // one oversized block does not serialise the run.
    tbb::enumerable_thread_specific<WorkerState> workers;
    auto evaluate_rows = [&](const Block& block, std::size_t row_begin, std::size_t row_end) {
        WorkerState& w = workers.local();
        const std::size_t size = block.end - block.begin;
        const std::string_view key = entries[block.begin].key;
        for (std::size_t i = row_begin; i < row_end; ++i) {
            const std::uint32_t ia = entries[block.begin + i].entity;
            const PreparedValue* pa = prepared_of(ia);
            for (std::size_t j = i + 1; j < size; ++j) {
                const std::uint32_t ib = entries[block.begin + j].entity;
                evaluate(engine, entities, ia, ib, pa, prepared_of(ib), overrides, key,
                         term_frequencies, w);
            }
        }
    };
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks.size()), [&](const auto& br) {
            for (std::size_t b = br.begin(); b < br.end(); ++b) {
                const Block block = blocks[b];
                const std::size_t size = block.end - block.begin;
                if (size < 2) continue;
                if (size < 64) {
                    evaluate_rows(block, 0, size);
                    continue;
                }
                // Row i has size-1-i pairs; small grains balance the triangle.
                tbb::parallel_for(
                    tbb::blocked_range<std::size_t>(0, size, 4),
                    [&](const auto& rows) { evaluate_rows(block, rows.begin(), rows.end()); });
            }
        });
    });
    std::vector<PreparedValue>().swap(prepared);

    // Gather the workers' kept pairs into one list with one outcome store.
    TelemetryCollector telemetry;
    std::vector<KeptPair> kept;
    auto absorb = [&](WorkerState& w) {
        const std::size_t base = run.outcomes.size();
        run.outcomes.insert(run.outcomes.end(), w.outcomes.begin(), w.outcomes.end());
        for (KeptPair p : w.pairs) {
            p.outcomes += base;
            kept.push_back(p);
        }
        telemetry.merge(w.telemetry);
        w = WorkerState{};
    };
    for (WorkerState& w : workers) absorb(w);
    telemetry.set_blocking_groups(blocks.size());

    // One decision per unordered pair: the one from the smallest block key. Positions
    // are id-map positions, so equal ids mean equal positions. Every copy of a pair was
    // judged on the same two records in the same order, so they differ only in the key.
    auto lo_hi = [](const KeptPair& p) {
        return std::pair{std::min(p.a, p.b), std::max(p.a, p.b)};
    };
    arena.execute([&] {
        tbb::parallel_sort(kept.begin(), kept.end(), [&](const KeptPair& x, const KeptPair& y) {
            auto px = lo_hi(x), py = lo_hi(y);
            if (px != py) return px < py;
            return x.key < y.key;
        });
    });
    kept.erase(
        std::unique(kept.begin(), kept.end(),
                    [&](const KeptPair& x, const KeptPair& y) { return lo_hi(x) == lo_hi(y); }),
        kept.end());

    // Sorted-neighbourhood pass: each record meets the next window-1 records in the order
    // of its sort key. Runs on the calling thread.
    const auto window = engine.neighborhood_window();
    const auto& sort_fields = engine.sort_fields();
    if (window && !sort_fields.empty() && n > 0) {
        struct IdPairHash {
            std::size_t operator()(const std::pair<Uuid, Uuid>& p) const noexcept {
                UuidHash h;
                return h(p.first) * 0x9e3779b97f4a7c15ULL ^ h(p.second);
            }
        };
        auto id_pair = [&](const Uuid& x, const Uuid& y) {
            return x < y ? std::pair{x, y} : std::pair{y, x};
        };
        std::unordered_set<std::pair<Uuid, Uuid>, IdPairHash> seen;
        for (const KeptPair& p : kept) seen.insert(id_pair(entities[p.a].id, entities[p.b].id));
        std::vector<std::string> sort_keys(n);
        for (std::size_t i = 0; i < n; ++i) {
            for (const auto& field : sort_fields) {
                if (const std::string* v = entities[i].field(field))
                    sort_keys[i] += ReconciliationEngine::lowercase(*v);
                sort_keys[i] += ':';
            }
        }
        std::vector<std::uint32_t> order(n);
        std::iota(order.begin(), order.end(), 0u);
        std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
            return sort_keys[x] < sort_keys[y];
        });
        WorkerState w;
        std::vector<PreparedValue> pa(n_slots), pb(n_slots);
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = p + 1; q < n && q - p < *window; ++q) {
                const std::uint32_t ia = order[p], ib = order[q];
                if (!seen.insert(id_pair(entities[ia].id, entities[ib].id)).second) continue;
                engine.prepare(entities[ia], pa.data());
                engine.prepare(entities[ib], pb.data());
                evaluate(engine, entities, ia, ib, pa.data(), pb.data(), overrides,
                         kSortedNeighborhoodKey, term_frequencies, w);
            }
        }
        absorb(w);
    }

    // Total order: confidence descending (a NaN ties with everything), the plan's
    // tie-breakers, then the id pair. Each pair's sort facts are computed once.
    struct SortFacts {
        double confidence;
        std::size_t exact_scores;
        std::optional<UtcDateTime> earliest;  // absent: a record could not be found
        Uuid lo, hi;
    };
    std::vector<SortFacts> facts(kept.size());
    for (std::size_t k = 0; k < kept.size(); ++k) {
        const KeptPair& p = kept[k];
        SortFacts& f = facts[k];
        f.confidence = p.verdict.confidence;
        f.exact_scores = p.verdict.early == ReconciliationEngine::Early::None
                             ? count_exact_scores(run.outcomes.data() + p.outcomes, n_rules)
                             : 0;
        const Uuid& ida = entities[p.a].id;
        const Uuid& idb = entities[p.b].id;
        auto ia = by_id.find(ida);
        auto ib = by_id.find(idb);
        if (ia != by_id.end() && ib != by_id.end())
            f.earliest =
                std::min(entities[ia->second].last_updated, entities[ib->second].last_updated);
        f.lo = std::min(ida, idb);
        f.hi = std::max(ida, idb);
    }
    const auto& tie_breakers = engine.tie_breakers();
    std::vector<std::uint32_t> order(kept.size());
    std::iota(order.begin(), order.end(), 0u);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t i, std::uint32_t j) {
        const SortFacts& x = facts[i];
        const SortFacts& y = facts[j];
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
    });
    run.pairs.reserve(kept.size());
    for (std::uint32_t k : order) run.pairs.push_back(kept[k]);
    run.telemetry = std::move(telemetry).into_telemetry();
    return run;
}

MatchDecision expand(const ReconciliationEngine& engine,
                     const std::vector<NormalizedEntity>& entities, const CompactRun& run,
                     const KeptPair& pair) {
    MatchDecision d = engine.decision_of(entities[pair.a], entities[pair.b], pair.verdict,
                                         run.outcomes.data() + pair.outcomes, pair.factor);
    d.blocking_key = std::string(pair.key);
    return d;
}

RunResult reconcile_with_telemetry(const ReconciliationEngine& engine,
                                   const std::vector<NormalizedEntity>& entities,
                                   const OverrideResolver& overrides, RunOptions options) {
    CompactRun run = reconcile_compact(engine, entities, overrides, options);
    RunResult out;
    out.decisions.reserve(run.pairs.size());
    for (const KeptPair& p : run.pairs) out.decisions.push_back(expand(engine, entities, run, p));
    out.telemetry = std::move(run.telemetry);
    return out;
}

namespace {

class UnionFind {
  public:
    explicit UnionFind(std::size_t n) : parent_(n), rank_(n, 0) {
        std::iota(parent_.begin(), parent_.end(), std::size_t{0});
    }
    std::size_t find(std::size_t x) {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }
    void unite(std::size_t a, std::size_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return;
        if (rank_[a] < rank_[b]) std::swap(a, b);
        parent_[b] = a;
        if (rank_[a] == rank_[b]) ++rank_[a];
    }

  private:
    std::vector<std::size_t> parent_;
    std::vector<std::uint8_t> rank_;
};

// Clusters from merges given as (id, id) pairs in decision order.
template <class ForEachMerge>
Clustering cluster(const std::vector<NormalizedEntity>& entities, ForEachMerge&& for_each_merge) {
    const std::size_t n = entities.size();
    std::unordered_map<Uuid, std::size_t, UuidHash> number;
    number.reserve(n);
    for (std::size_t i = 0; i < n; ++i) number[entities[i].id] = i;

    UnionFind uf(n);
    for_each_merge([&](const Uuid& x, const Uuid& y) {
        auto a = number.find(x);
        auto b = number.find(y);
        if (a != number.end() && b != number.end()) uf.unite(a->second, b->second);
    });

    std::unordered_map<std::size_t, std::size_t> group_of_root;
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < n; ++i) {
        auto [it, fresh] = group_of_root.try_emplace(uf.find(i), groups.size());
        if (fresh) groups.emplace_back();
        groups[it->second].push_back(i);
    }
    for (auto& g : groups)
        std::stable_sort(g.begin(), g.end(), [&](std::size_t x, std::size_t y) {
            return entities[x].id < entities[y].id;
        });
    std::stable_sort(groups.begin(), groups.end(), [&](const auto& x, const auto& y) {
        return entities[x.front()].id < entities[y.front()].id;
    });

    Clustering out;
    out.clusters.reserve(groups.size());
    for (auto& g : groups) {
        Cluster c;
        c.reserve(g.size());
        for (std::size_t i : g) c.push_back(entities[i].id);
        out.clusters.push_back(std::move(c));
    }
    out.members = std::move(groups);
    return out;
}

}  // namespace

Clustering cluster_decisions(const std::vector<NormalizedEntity>& entities,
                             const std::vector<MatchDecision>& decisions) {
    return cluster(entities, [&](auto&& unite) {
        for (const auto& d : decisions)
            if (d.decision == Decision::Merge) unite(d.entity_a_id, d.entity_b_id);
    });
}

Clustering cluster_decisions(const std::vector<NormalizedEntity>& entities, const CompactRun& run) {
    return cluster(entities, [&](auto&& unite) {
        for (const auto& p : run.pairs)
            if (p.verdict.decision == Decision::Merge) unite(entities[p.a].id, entities[p.b].id);
    });
}

}  // namespace velatro::engine
