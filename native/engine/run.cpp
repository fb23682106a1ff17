#include "engine/run.hpp"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <stdexcept>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "engine/reconciliation_engine.hpp"
#include "engine/temporal.hpp"

namespace velatro::engine {
namespace {

constexpr std::string_view kSortedNeighborhoodKey = "SORTED_NEIGHBORHOOD";

struct PairKey {
    Uuid lo, hi;
    friend bool operator==(const PairKey&, const PairKey&) = default;
};

PairKey pair_key(const Uuid& a, const Uuid& b) { return a < b ? PairKey{a, b} : PairKey{b, a}; }

struct PairKeyHash {
    std::size_t operator()(const PairKey& k) const noexcept {
        UuidHash h;
        return h(k.lo) * 0x9e3779b97f4a7c15ULL ^ h(k.hi);
    }
};

// One entry per (key, record) produced by blocking; sorting these by key then id
// forms the blocks in key order with their ids in ascending order.
struct BlockEntry {
    std::string_view key;
    std::uint32_t entity;  // position of the record the id map resolves to
};

// Per-thread state of the parallel step: the telemetry of the pairs this thread
// evaluated. Merged at the end; the merged result depends only on the set of pairs.
using ThreadTelemetry = tbb::enumerable_thread_specific<TelemetryCollector>;

std::optional<MatchDecision> reconcile_pair(const ReconciliationEngine& engine,
                                            const NormalizedEntity& a, const NormalizedEntity& b,
                                            const PreparedValue* pa, const PreparedValue* pb,
                                            const OverrideResolver& overrides,
                                            TelemetryCollector& telemetry) {
    TemporalResult t = engine.temporal_matcher().evaluate(a, b);
    if (t.outcome == TemporalOutcome::Invalid && t.factor == 0.0) return std::nullopt;
    return engine.evaluate_prepared(a, b, pa, pb, overrides, t.factor, telemetry);
}

std::size_t count_exact_scores(const MatchDecision& d) {
    constexpr double kEpsilon = 2.220446049250313e-16;  // 2^-52
    std::size_t n = 0;
    for (const auto& r : d.rule_results)
        if (std::fabs(r.score - 1.0) < kEpsilon) ++n;
    return n;
}

}  // namespace

RunResult reconcile_with_telemetry(const ReconciliationEngine& engine,
                                   const std::vector<NormalizedEntity>& entities,
                                   const OverrideResolver& overrides, RunOptions options) {
    const std::size_t n = entities.size();
    if (n > UINT32_MAX) throw velatro::Error("too many entity records in one run");

    // Id map: a repeated id resolves to the later record.
    std::unordered_map<Uuid, std::uint32_t, UuidHash> by_id;
    by_id.reserve(n);
    for (std::size_t i = 0; i < n; ++i) by_id[entities[i].id] = static_cast<std::uint32_t>(i);

    tbb::task_arena arena(options.threads ? static_cast<int>(options.threads)
                                          : tbb::task_arena::automatic);

    // Block keys per record. Computed in parallel, then laid out in record order,
    // which is the order a sequential pass would have appended them in.
    std::vector<std::vector<std::string>> keys(n);
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
    for (std::size_t i = 0; i < n; ++i)
        for (const auto& key : keys[i]) entries.push_back({key, by_id[entities[i].id]});
    // Blocks in ascending key order, ids ascending within a block. Entries that tie
    // on both resolve to the same record, so the order among them does not matter.
    std::sort(entries.begin(), entries.end(), [&](const BlockEntry& x, const BlockEntry& y) {
        if (int c = x.key.compare(y.key); c != 0) return c < 0;
        return entities[x.entity].id < entities[y.entity].id;
    });

    struct Block {
        std::size_t begin, end;  // range in entries
    };
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t j = i + 1;
        while (j < entries.size() && entries[j].key == entries[i].key) ++j;
        blocks.push_back({i, j});
        i = j;
    }

    // Every record that meets another is prepared once for every rule (normalised
    // values, decoded characters, phonetic codes...), so the pair loop only compares.
    const std::size_t n_rules = engine.rules().size();
    constexpr std::uint32_t kUnprepared = UINT32_MAX;
    std::vector<std::uint32_t> slot(n, kUnprepared);
    std::vector<std::uint32_t> prepared_entities;
    for (const Block& block : blocks) {
        if (block.end - block.begin < 2) continue;
        for (std::size_t i = block.begin; i < block.end; ++i) {
            std::uint32_t e = entries[i].entity;
            if (slot[e] == kUnprepared) {
                slot[e] = static_cast<std::uint32_t>(prepared_entities.size());
                prepared_entities.push_back(e);
            }
        }
    }
    std::vector<PreparedValue> prepared(prepared_entities.size() * n_rules);
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, prepared_entities.size(), 64),
                          [&](const auto& range) {
                              for (std::size_t k = range.begin(); k < range.end(); ++k)
                                  engine.prepare(entities[prepared_entities[k]],
                                                 prepared.data() + k * n_rules);
                          });
    });
    auto prepared_of = [&](std::uint32_t e) { return prepared.data() + slot[e] * n_rules; };

    // Pairs inside each block, in parallel. Large blocks are split by their first
    // position as well, so one oversized block does not serialise the run.
    ThreadTelemetry thread_telemetry;
    std::vector<std::vector<MatchDecision>> outputs(blocks.size());
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks.size()), [&](const auto& br) {
            for (std::size_t b = br.begin(); b < br.end(); ++b) {
                const Block block = blocks[b];
                const std::size_t size = block.end - block.begin;
                if (size < 2) continue;
                auto evaluate_rows = [&](std::size_t row_begin, std::size_t row_end,
                                         std::vector<MatchDecision>& out) {
                    TelemetryCollector& telemetry = thread_telemetry.local();
                    for (std::size_t i = row_begin; i < row_end; ++i) {
                        const std::uint32_t ia = entries[block.begin + i].entity;
                        const NormalizedEntity& a = entities[ia];
                        const PreparedValue* pa = prepared_of(ia);
                        for (std::size_t j = i + 1; j < size; ++j) {
                            const std::uint32_t ib = entries[block.begin + j].entity;
                            auto d = reconcile_pair(engine, a, entities[ib], pa, prepared_of(ib),
                                                    overrides, telemetry);
                            if (d) {
                                d->blocking_key = std::string(entries[block.begin].key);
                                out.push_back(std::move(*d));
                            }
                        }
                    }
                };
                if (size < 64) {
                    evaluate_rows(0, size, outputs[b]);
                    continue;
                }
                // Rows are uneven (row i has size-1-i pairs); small grains balance it.
                std::vector<std::vector<MatchDecision>> rows(size);
                tbb::parallel_for(tbb::blocked_range<std::size_t>(0, size, 4),
                                  [&](const auto& rr) {
                                      for (std::size_t i = rr.begin(); i < rr.end(); ++i)
                                          evaluate_rows(i, i + 1, rows[i]);
                                  });
                for (auto& row : rows)
                    for (auto& d : row) outputs[b].push_back(std::move(d));
            }
        });
    });

    // Join in key order; the first decision of a pair (smallest key) wins.
    std::vector<MatchDecision> decisions;
    std::unordered_set<PairKey, PairKeyHash> seen;
    for (auto& out : outputs) {
        for (auto& d : out)
            if (seen.insert(pair_key(d.entity_a_id, d.entity_b_id)).second)
                decisions.push_back(std::move(d));
        std::vector<MatchDecision>().swap(out);
    }

    TelemetryCollector telemetry;
    for (auto& local : thread_telemetry) telemetry.merge(std::move(local));
    telemetry.set_blocking_groups(blocks.size());
    std::vector<PreparedValue>().swap(prepared);

    // Sorted-neighbourhood pass: compares each record with the next window-1 records
    // in the order of the sort key. Runs on the calling thread.
    const auto window = engine.neighborhood_window();
    const auto& sort_fields = engine.sort_fields();
    if (window && !sort_fields.empty() && n > 0) {
        std::vector<std::string> sort_keys(n);
        for (std::size_t i = 0; i < n; ++i) {
            for (const auto& field : sort_fields) {
                if (const std::string* v = entities[i].field(field))
                    sort_keys[i] += engine.lowercase(*v);
                sort_keys[i] += ':';
            }
        }
        std::vector<std::size_t> order(n);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(),
                         [&](std::size_t x, std::size_t y) { return sort_keys[x] < sort_keys[y]; });
        const std::uint64_t w = *window;
        std::vector<PreparedValue> pa(n_rules), pb(n_rules);
        for (std::size_t p = 0; p < n; ++p) {
            for (std::size_t q = p + 1; q < n && q - p < w; ++q) {
                const NormalizedEntity& a = entities[order[p]];
                const NormalizedEntity& b = entities[order[q]];
                if (!seen.insert(pair_key(a.id, b.id)).second) continue;
                engine.prepare(a, pa.data());
                engine.prepare(b, pb.data());
                auto d = reconcile_pair(engine, a, b, pa.data(), pb.data(), overrides, telemetry);
                if (d) {
                    d->blocking_key = std::string(kSortedNeighborhoodKey);
                    decisions.push_back(std::move(*d));
                }
            }
        }
    }

    // Total order: confidence descending (NaN ties with everything), the plan's
    // tie-breakers, then the id pair. Each decision's sort facts are computed once.
    struct SortFacts {
        double confidence;
        std::size_t exact_scores;
        std::optional<UtcDateTime> earliest;  // absent: a record could not be found
        PairKey pair;
    };
    std::vector<SortFacts> facts(decisions.size());
    for (std::size_t k = 0; k < decisions.size(); ++k) {
        const MatchDecision& d = decisions[k];
        SortFacts& f = facts[k];
        f.confidence = d.confidence;
        f.exact_scores = count_exact_scores(d);
        auto ia = by_id.find(d.entity_a_id);
        auto ib = by_id.find(d.entity_b_id);
        if (ia != by_id.end() && ib != by_id.end())
            f.earliest = std::min(entities[ia->second].last_updated,
                                  entities[ib->second].last_updated);
        f.pair = pair_key(d.entity_a_id, d.entity_b_id);
    }
    const auto& tie_breakers = engine.tie_breakers();
    std::vector<std::size_t> order(decisions.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) {
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
                    if (x.pair.lo != y.pair.lo) return x.pair.lo < y.pair.lo;
                    break;
                case plan::TieBreaker::EarliestTimestamp:
                    if (x.earliest != y.earliest) return x.earliest < y.earliest;
                    break;
            }
        }
        if (x.pair.lo != y.pair.lo) return x.pair.lo < y.pair.lo;
        return x.pair.hi < y.pair.hi;
    });
    std::vector<MatchDecision> sorted;
    sorted.reserve(decisions.size());
    for (std::size_t k : order) sorted.push_back(std::move(decisions[k]));

    return RunResult{std::move(sorted), std::move(telemetry).into_telemetry()};
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

}  // namespace

Clustering cluster_decisions(const std::vector<NormalizedEntity>& entities,
                             const std::vector<MatchDecision>& decisions) {
    const std::size_t n = entities.size();
    std::unordered_map<Uuid, std::size_t, UuidHash> number;
    number.reserve(n);
    for (std::size_t i = 0; i < n; ++i) number[entities[i].id] = i;

    UnionFind uf(n);
    for (const auto& d : decisions) {
        if (d.decision != Decision::Merge) continue;
        auto a = number.find(d.entity_a_id);
        auto b = number.find(d.entity_b_id);
        if (a != number.end() && b != number.end()) uf.unite(a->second, b->second);
    }

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

}  // namespace velatro::engine
