#pragma once
// Where a run's results go. The pipeline hands them over in a fixed order, in chunks, so
// a sink can turn them into its own form (Python objects, Arrow columns...) without the
// run holding every final object at once.
#include <tbb/task_arena.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "engine/run/clustering.hpp"
#include "engine/run/pair_order.hpp"
#include "engine/run/run_profile.hpp"
#include "engine/survivorship.hpp"

namespace velatro::engine {

// What a sink can read about the kept pairs. Everything but expand reads the run's
// compact form directly, so a sink that writes columns never builds the decision texts.
class PairResults {
  public:
    PairResults(const ReconciliationEngine& engine, const std::vector<NormalizedEntity>& entities,
                const OrderedPairs& ordered, tbb::task_arena& arena)
        : engine_(engine), entities_(entities), ordered_(ordered), arena_(arena) {}

    // The two records. By the time decisions are delivered their data fields are gone;
    // ids, tenants, sources and external ids remain.
    [[nodiscard]] const NormalizedEntity& a(const KeptPair& p) const { return entities_[p.a]; }
    [[nodiscard]] const NormalizedEntity& b(const KeptPair& p) const { return entities_[p.b]; }

    // The rules in plan order: outcome r of a pair is rules()[r]'s.
    [[nodiscard]] const std::vector<std::unique_ptr<MatchRule>>& rules() const {
        return engine_.rules();
    }
    // One outcome per rule, or none when the pair was decided before any rule ran
    // (exclusions, overrides, reference identifiers).
    [[nodiscard]] std::span<const RuleOutcome> outcomes(const KeptPair& p) const;

    // The pair's matched_on entries in order: the early decision's label, or the names of
    // the rules that matched.
    template <class Visit>
    void for_each_matched_on(const KeptPair& p, Visit&& visit) const {
        if (p.verdict.early != ReconciliationEngine::Early::None) {
            visit(engine_.early_label(p.verdict));
            return;
        }
        const auto outcomes = this->outcomes(p);
        for (std::size_t r = 0; r < outcomes.size(); ++r)
            if (outcomes[r].matched) visit(std::string_view(engine_.rules()[r]->name()));
    }

    // The full decision, texts included.
    [[nodiscard]] MatchDecision expand(const KeptPair& p) const;
    // The same for many pairs at once, on the run's worker threads.
    void expand(std::span<const KeptPair> pairs, std::span<MatchDecision> out) const;

  private:
    const ReconciliationEngine& engine_;
    const std::vector<NormalizedEntity>& entities_;
    const OrderedPairs& ordered_;
    tbb::task_arena& arena_;
};

// Consecutive kept pairs in the final order.
struct DecisionBatch {
    std::size_t first = 0;  // position of pairs[0] in the final order
    std::span<const KeptPair> pairs;
    const PairResults& results;
};

// Receives one run's results. The pipeline calls, from its own thread and in this
// order: clusters once, golden_records for consecutive chunks of the clusters,
// begin_decisions once, decisions for consecutive chunks of the pairs, telemetry once.
// golden_records and decisions are called at least once, with an empty chunk when there
// is nothing. A sink that throws stops the run; the exception reaches the pipeline's
// caller.
class ResultSink {
  public:
    virtual ~ResultSink() = default;

    // The most golden records or decisions one call hands over. The pipeline builds a
    // chunk's golden records before the call, so small chunks keep few of them alive; a
    // sink that wants everything at once returns SIZE_MAX.
    [[nodiscard]] virtual std::size_t chunk_rows() const { return 16384; }

    // The clustering and the records stay valid until the last golden_records call
    // returns; the records still have their data fields then.
    virtual void clusters(const Clustering& clustering,
                          const std::vector<NormalizedEntity>& entities) = 0;
    // records[k] belongs to cluster first + k; the sink may move them out.
    virtual void golden_records(std::size_t first, std::span<GoldenRecord> records) = 0;
    virtual void begin_decisions(std::size_t count) = 0;
    virtual void decisions(const DecisionBatch& batch) = 0;
    // profile is given when the run was asked for one (RunOptions::profile); its
    // "output" stage has not yet counted this call.
    virtual void telemetry(const ReconciliationTelemetry& telemetry, const RunProfile* profile) = 0;
};

}  // namespace velatro::engine
