#pragma once
// What a run will cost, known before any pair is compared: the blocks the records form,
// the pairs each blocking key produces, the largest blocks, and the measured cost of a
// sample of the run's own pairs. Budgets are checked against it, so an impossible run is
// refused in a second instead of ending in MemoryError after a long wait.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/entity.hpp"
#include "engine/reconciliation_engine.hpp"

namespace velatro::engine {

struct BlockCensus {
    // One blocking key of the plan ("last_name|postcode"), or one LSH strategy. Counted
    // as if it were the only key: its own entries and the pairs they form.
    struct Definition {
        std::string label;
        std::uint32_t repeats = 1;  // times the spec writes this same key
        std::uint64_t records = 0;  // records that got at least one key from it
        std::uint64_t entries = 0;  // keys it produced, repeats included
        std::uint64_t blocks = 0;
        std::uint64_t pairs = 0;
        std::uint64_t largest_block = 0;
    };
    struct Block {
        std::string key;
        std::uint64_t size = 0;  // entries: a record with the key twice counts twice
        std::uint64_t pairs = 0;
        std::vector<std::size_t> definitions;  // which definitions produced the key
    };

    std::vector<Definition> definitions;
    std::vector<Block> largest;  // by size, descending, then key
    std::uint64_t records = 0;
    std::uint64_t records_blocked = 0;  // records with at least one key
    std::uint64_t blocks = 0;
    // Pair evaluations of the run: the pairs of every block, a pair shared by k blocks
    // counted k times, as the run's telemetry counts them (pairs that temporal validity
    // rules out are not recorded by the run).
    std::uint64_t candidate_pairs = 0;
    // The evaluations the run will record: candidate pairs less those temporal validity
    // rules out. Exact up to CensusOptions::exact_limit candidate pairs (a temporal check
    // costs nanoseconds); above, estimated from the sample.
    std::uint64_t evaluated_pairs = 0;
    bool evaluated_exact = false;
    // Calibration on pairs sampled evenly from the blocks.
    std::uint64_t sampled_pairs = 0;
    double seconds_per_pair = 0.0;    // one thread, rules and scoring
    double seconds_per_record = 0.0;  // one thread, preparing a record's values
    double kept_fraction = 0.0;       // share of sampled pairs decided merge or review
};

struct CensusOptions {
    std::size_t largest = 10;
    std::size_t sample_pairs = 2000;
    std::uint64_t exact_limit = 50'000'000;
};

// Limits a run must stay within; 0 means no limit.
struct RunBudget {
    std::uint64_t max_pairs = 0;         // candidate pairs of the whole run
    std::uint64_t max_block_size = 0;    // entries of one block
    std::uint64_t max_result_bytes = 0;  // memory of the kept pairs' table rows
};

// Memory of one kept pair's row in the columnar result besides its rule scores (ids,
// sources, keys, decision, confidence, posterior, blocking key, matched-on names,
// temporal factor, with offsets and validity), and of each rule score.
inline constexpr std::uint64_t kPairRowBytes = 240;
inline constexpr std::uint64_t kScoreBytes = 8;

// The estimated memory of the kept pairs of a census with a sample.
[[nodiscard]] double estimated_result_bytes(const BlockCensus& census, std::size_t rules);

// Checks the budget from key counts, and the memory budget too: a run that could not
// outgrow it even if every pair were kept is let through without sampling; otherwise a
// timed sample measures how many pairs are kept. Throws like check_budget.
void check_run_budget(const ReconciliationEngine& engine,
                      const std::vector<NormalizedEntity>& entities, const RunBudget& budget);

// Throws velatro::Error naming the blocking key and the block that break the budget,
// and what to change; returns when the census fits. The census needs the largest
// block (CensusOptions::largest >= 1).
void check_budget(const BlockCensus& census, const RunBudget& budget);

BlockCensus take_census(const ReconciliationEngine& engine,
                        const std::vector<NormalizedEntity>& entities, CensusOptions options = {});

}  // namespace velatro::engine
