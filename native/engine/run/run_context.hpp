#pragma once
// What every stage of a run reads: the engine, the records, the overrides, the options
// and the worker pool the stages share.
#include <tbb/task_arena.h>

#include <atomic>
#include <cstdint>
#include <vector>

#include "engine/entity.hpp"
#include "engine/overrides.hpp"
#include "engine/reconciliation_engine.hpp"
#include "engine/run/run_options.hpp"

namespace velatro::engine {

struct RunContext {
    const ReconciliationEngine& engine;
    const std::vector<NormalizedEntity>& entities;
    const OverrideResolver& overrides;
    const RunOptions& options;
    tbb::task_arena& arena;

    // Called between chunks of work: one relaxed load, then RunCancelled if asked.
    void check_cancel() const {
        if (options.cancel && options.cancel->load(std::memory_order_relaxed)) throw RunCancelled();
    }
    // Advances one progress counter, if anyone follows the run.
    void advance(std::atomic<std::uint64_t> RunProgress::*counter, std::uint64_t by) const {
        if (options.progress && by)
            (options.progress->*counter).fetch_add(by, std::memory_order_relaxed);
    }
};

}  // namespace velatro::engine
