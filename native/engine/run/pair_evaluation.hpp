#pragma once
// The third stage: judge every pair of records that share a block, each distinct pair
// once, and keep the merge and review verdicts with their rules' outcomes.
//
// Two records that share k blocks meet k times, and a record that is in a block m times
// (it emits the key twice, or records share its id) meets itself m(m-1)/2 times there.
// Judging is by far the costliest step and every copy gets the same verdict, so a pair
// is judged once, under the smallest of its common keys in byte order (the key the run
// reports for it), and its telemetry sample counts once for each copy: the telemetry
// is that of judging every copy.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/run/block_index.hpp"
#include "engine/run/prepared_values.hpp"
#include "engine/telemetry.hpp"

namespace velatro::engine {

// A kept pair as the run holds it: the verdict and the rules' outcomes, without the
// rule-result texts. A large run keeps millions of these, and its caller usually turns
// each into its final form once, so the texts are built only then.
struct KeptPair {
    std::uint32_t a = 0;  // positions of the two records in the entity list
    std::uint32_t b = 0;
    std::size_t outcomes = 0;  // offset of the pair's rule outcomes (none if decided early)
    ReconciliationEngine::Verdict verdict;
    double factor = 1.0;   // temporal factor
    std::string_view key;  // the block key (texts owned by the block index's keys)
};

struct PairEvaluation {
    std::vector<KeptPair> pairs;  // in no particular order
    std::vector<RuleOutcome> outcomes;
    TelemetryCollector telemetry;
    std::uint64_t judged = 0;  // distinct pairs handed to the engine
    std::uint64_t copies = 0;  // the judgements they stand for
};

// What one worker thread accumulates; absorbed into the evaluation at the end. Nothing
// depends on how the work was split.
struct PairWorker {
    std::vector<KeptPair> pairs;
    std::vector<RuleOutcome> outcomes;
    std::vector<RuleOutcome> scratch;
    TelemetryCollector telemetry;
    std::uint64_t judged = 0;
    std::uint64_t copies = 0;

    // Judges records a and b (in that order) standing for `times` judgements: temporal validity
    // first (an invalid pair leaves no trace at all), then the engine's verdict; a merge
    // or review is kept with its outcomes.
    void judge(const RunContext& run, std::uint32_t a, std::uint32_t b, const PreparedValue* pa,
               const PreparedValue* pb, std::string_view key, std::uint64_t times);

    // Moves everything into the evaluation and leaves the worker empty.
    void absorb_into(PairEvaluation& evaluation);
};

PairEvaluation evaluate_blocks(const RunContext& run, const BlockIndex& index,
                               const PreparedValues& prepared);

// How many judgements a pair of two distinct records met under the block of `rank`
// stands for: the sum over their common blocks of the product of their counts, or 0
// when a smaller key is common to both (the pair is judged there).
std::uint64_t pair_copies(std::span<const Membership> x, std::span<const Membership> y,
                          std::uint32_t rank);
// The same for a record meeting itself: the sum over its blocks of c(c-1)/2, or 0 when
// an earlier block already holds it twice.
std::uint64_t self_pair_copies(std::span<const Membership> x, std::uint32_t rank);

}  // namespace velatro::engine
