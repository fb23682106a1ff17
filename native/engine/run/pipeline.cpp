#include "engine/run/pipeline.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>

namespace velatro::engine {
namespace {

void start_progress(const RunContext& run, const BlockIndex& index) {
    RunProgress* progress = run.options.progress;
    if (!progress) return;
    progress->blocks_done.store(0, std::memory_order_relaxed);
    progress->pairs_done.store(0, std::memory_order_relaxed);
    progress->blocks_total.store(index.by_rank.size(), std::memory_order_relaxed);
    progress->pairs_total.store(index.pair_copies, std::memory_order_relaxed);
}

void deliver_golden_records(const RunContext& run, const plan::SurvivorshipPolicy& survivorship,
                            const Clustering& clustering, ResultSink& sink, StageClock& clock) {
    // Each chunk's golden records are built in parallel, then handed over.
    const std::size_t count = clustering.clusters.size();
    const std::size_t rows = std::max<std::size_t>(1, sink.chunk_rows());
    std::vector<GoldenRecord> chunk(std::min(rows, count));
    std::size_t first = 0;
    do {
        run.check_cancel();
        const std::size_t size = std::min(rows, count - first);
        run.arena.execute([&] {
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, size, 64), [&](const auto& r) {
                for (std::size_t k = r.begin(); k < r.end(); ++k)
                    chunk[k] =
                        golden_record(run.entities, clustering.members[first + k], survivorship);
            });
        });
        clock.lap("golden_records");
        sink.golden_records(first, std::span<GoldenRecord>(chunk.data(), size));
        clock.lap("output");
        first += size;
    } while (first < count);
}

void deliver_decisions(const RunContext& run, const OrderedPairs& ordered, ResultSink& sink,
                       StageClock& clock) {
    const PairResults results(run.engine, run.entities, ordered, run.arena);
    const std::size_t count = ordered.pairs.size();
    const std::size_t rows = std::max<std::size_t>(1, sink.chunk_rows());
    sink.begin_decisions(count);
    std::size_t first = 0;
    do {
        run.check_cancel();
        const std::size_t size = std::min(rows, count - first);
        sink.decisions(DecisionBatch{first, {ordered.pairs.data() + first, size}, results});
        first += size;
    } while (first < count);
    clock.lap("output");
}

// Keeps what the decisions read, ids and names, in fresh storage and frees the records
// whole: freeing only the data fields would leave the kept strings scattered over pages
// the allocator then cannot hand back.
void release_record_data(std::vector<NormalizedEntity>& entities) {
    std::vector<NormalizedEntity> kept(entities.size());
    for (std::size_t i = 0; i < entities.size(); ++i) {
        const NormalizedEntity& e = entities[i];
        NormalizedEntity& k = kept[i];
        k.id = e.id;
        k.tenant_id = e.tenant_id;
        k.external_id = e.external_id;
        k.entity_type = e.entity_type;
        k.source_name = e.source_name;
        k.valid_from = e.valid_from;
        k.valid_to = e.valid_to;
        k.last_updated = e.last_updated;
    }
    entities = std::move(kept);
}

}  // namespace

PairRun run_pairs(const RunContext& run, RunProfile* profile) {
    StageClock clock(profile);
    PairRun out;
    out.ids = build_id_index(run.entities);
    clock.lap("id_index");
    BlockIndex index = build_block_index(run, out.ids);
    start_progress(run, index);
    clock.lap("block_index");
    PreparedValues prepared = prepare_values(run, index);
    clock.lap("prepare");
    PairEvaluation evaluation = evaluate_blocks(run, index, prepared);
    clock.lap("evaluate");
    // Freeing what a stage no longer needs is not free for a large run: "release".
    prepared = {};
    clock.lap("release");
    run.check_cancel();
    evaluate_neighborhood(run, out.ids, evaluation);
    clock.lap("neighborhood");
    if (profile) {
        profile->records = run.entities.size();
        profile->blocks = index.blocks.size();
        profile->pairing_blocks = index.by_rank.size();
        profile->pairs_judged = evaluation.judged;
        profile->pair_copies = evaluation.copies;
        profile->kept_pairs = evaluation.pairs.size();
    }
    out.keys = std::move(index.keys);
    index = {};
    clock.lap("release");
    out.ordered = order_pairs(run, out.ids, std::move(evaluation));
    clock.lap("order");
    return out;
}

void reconcile(const ReconciliationEngine& engine, const plan::SurvivorshipPolicy& survivorship,
               std::vector<NormalizedEntity> entities, const OverrideResolver& overrides,
               const RunOptions& options, ResultSink& sink) {
    tbb::task_arena arena(options.threads ? static_cast<int>(options.threads)
                                          : tbb::task_arena::automatic);
    // Term frequencies must see every record before the first pair is scored.
    TermFrequencies counted;
    RunOptions with_counts = options;
    if (!options.term_frequencies && engine.needs_term_frequencies()) {
        counted = TermFrequencies::count(*engine.level_model(), entities, options.threads);
        with_counts.term_frequencies = &counted;
    }
    const RunContext run{engine, entities, overrides, with_counts, arena};
    RunProfile profile;
    RunProfile* const profiled = options.profile ? &profile : nullptr;
    PairRun pairs = run_pairs(run, profiled);

    StageClock clock(profiled);
    run.check_cancel();
    {
        const Clustering clustering = cluster_pairs(entities, pairs.ids, pairs.ordered.pairs);
        profile.clusters = clustering.clusters.size();
        clock.lap("cluster");
        sink.clusters(clustering, entities);
        clock.lap("output");
        deliver_golden_records(run, survivorship, clustering, sink, clock);
    }
    // Decisions need nothing of the records but their ids and names.
    release_record_data(entities);
    clock.lap("release");
    deliver_decisions(run, pairs.ordered, sink, clock);
    sink.telemetry(pairs.ordered.telemetry, profiled);
}

}  // namespace velatro::engine
