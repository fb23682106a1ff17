#pragma once
// How a run is carried out: threads, whether to time its stages, and the hooks another
// thread uses to follow or stop it. None of it changes the results.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>

#include "engine/cancellation.hpp"

namespace velatro::engine {

// Counters a run advances as it goes, readable from any thread at any time. They move
// once per chunk of work (a range of blocks, a slice of a large block's rows), so a
// reader sees coarse steps. The totals are set once the blocks are formed (zero before);
// pairs are counted as the blocks form them, every copy of a pair included, so their
// total is known before the first pair is judged. The sorted-neighbourhood pass and the
// result stages are not counted.
struct RunProgress {
    std::atomic<std::uint64_t> blocks_done{0};
    std::atomic<std::uint64_t> blocks_total{0};
    std::atomic<std::uint64_t> pairs_done{0};
    std::atomic<std::uint64_t> pairs_total{0};
};

struct RunOptions {
    // Worker threads; 0 lets the pool use every logical processor.
    std::size_t threads = 0;
    // Time each stage and count the work (RunProfile, handed to the sink with the
    // telemetry).
    bool profile = false;
    // Set by another thread to stop the run. It is read between chunks of work, never per
    // pair; once seen, the run throws RunCancelled and frees what it built.
    const std::atomic<bool>* cancel = nullptr;
    RunProgress* progress = nullptr;
};

}  // namespace velatro::engine
