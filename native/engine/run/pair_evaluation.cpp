#include "engine/run/pair_evaluation.hpp"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>

#include "engine/cancellation.hpp"
#include "engine/temporal.hpp"

namespace velatro::engine {
namespace {

// A record's run of entries in one block: the record, how many entries, and where the
// first is (from the block's start).
struct Member {
    std::uint32_t entity;
    std::uint32_t count;
    std::size_t offset;
};

void collect_members(const BlockIndex& index, const Block& block, std::vector<Member>& out) {
    out.clear();
    for (std::size_t i = block.begin; i < block.end;) {
        std::size_t j = i + 1;
        while (j < block.end && index.entries[j].entity == index.entries[i].entity) ++j;
        out.push_back(
            {index.entries[i].entity, static_cast<std::uint32_t>(j - i), i - block.begin});
        i = j;
    }
}

std::uint64_t self_pairs(std::uint64_t count) {
    return count * (count - 1) / 2;
}

// The pairs of entries, as the blocks form them, that rows [begin, end) stand for: each
// member's entries with each other and with every later entry. For progress only.
std::uint64_t covered(std::span<const Member> members, std::size_t block_size, std::size_t begin,
                      std::size_t end) {
    std::uint64_t pairs = 0;
    for (std::size_t u = begin; u < end; ++u) {
        const Member& m = members[u];
        pairs += self_pairs(m.count) + std::uint64_t{m.count} * (block_size - m.offset - m.count);
    }
    return pairs;
}

// Blocks with more members than this are split by rows as well, so one oversized block
// does not serialise the run.
constexpr std::size_t kSplitMembers = 64;

struct BlockJudge {
    const RunContext& run;
    const BlockIndex& index;
    const PreparedValues& prepared;

    // Rows [begin, end) of the block of `rank`: each member with itself (when it is there
    // twice or more) and with every later member, ids ascending.
    void rows(std::uint32_t rank, std::span<const Member> members, std::size_t begin,
              std::size_t end, PairWorker& w) const {
        // A comparison of two very long values looks at the flag itself.
        const CancelScope cancel(run.options.cancel);
        const std::string_view key = index.key_of(index.ranked(rank));
        for (std::size_t u = begin; u < end; ++u) {
            const Member& x = members[u];
            const auto mx = index.memberships_of(x.entity);
            const PreparedValue* px = prepared.of(x.entity);
            if (x.count >= 2)
                if (const std::uint64_t copies = self_pair_copies(mx, rank))
                    w.judge(run, x.entity, x.entity, px, px, key, copies);
            for (std::size_t v = u + 1; v < members.size(); ++v) {
                const Member& y = members[v];
                const auto my = index.memberships_of(y.entity);
                // A record in no other pairing block shares only this one.
                const std::uint64_t copies = mx.size() == 1 || my.size() == 1
                                                 ? std::uint64_t{x.count} * y.count
                                                 : pair_copies(mx, my, rank);
                if (copies)
                    w.judge(run, x.entity, y.entity, px, prepared.of(y.entity), key, copies);
            }
        }
    }

    // A large block: its members once, then slices of rows in parallel.
    void split(std::uint32_t rank, std::vector<Member> members, std::size_t size,
               tbb::enumerable_thread_specific<PairWorker>& workers) const {
        // Row u has |members|-1-u pairs; small grains balance the triangle.
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, members.size(), 4),
                          [&](const auto& slice) {
                              run.check_cancel();
                              rows(rank, members, slice.begin(), slice.end(), workers.local());
                              run.advance(&RunProgress::pairs_done,
                                          covered(members, size, slice.begin(), slice.end()));
                          });
    }
};

}  // namespace

std::uint64_t pair_copies(std::span<const Membership> x, std::span<const Membership> y,
                          std::uint32_t rank) {
    std::uint64_t copies = 0;
    std::size_t i = 0, j = 0;
    while (i < x.size() && j < y.size()) {
        if (x[i].rank < y[j].rank) {
            ++i;
        } else if (y[j].rank < x[i].rank) {
            ++j;
        } else {
            if (copies == 0 && x[i].rank != rank) return 0;
            copies += std::uint64_t{x[i].count} * y[j].count;
            ++i, ++j;
        }
    }
    return copies;
}

std::uint64_t self_pair_copies(std::span<const Membership> x, std::uint32_t rank) {
    std::uint64_t copies = 0;
    for (const Membership& m : x) {
        if (m.count < 2) continue;
        if (copies == 0 && m.rank != rank) return 0;
        copies += self_pairs(m.count);
    }
    return copies;
}

void PairWorker::judge(const RunContext& run, std::uint32_t a, std::uint32_t b,
                       const PreparedValue* pa, const PreparedValue* pb, std::string_view key,
                       std::uint64_t times) {
    ++judged;
    copies += times;
    const NormalizedEntity& x = run.entities[a];
    const NormalizedEntity& y = run.entities[b];
    const TemporalResult t = run.engine.temporal_matcher().evaluate(x, y);
    if (t.outcome == TemporalOutcome::Invalid && t.factor == 0.0) return;
    const std::size_t n_rules = run.engine.rules().size();
    if (scratch.size() < n_rules) scratch.resize(n_rules);
    const auto verdict =
        run.engine.judge(x, y, pa, pb, run.overrides, t.factor, scratch.data(), &telemetry, times);
    if (verdict.decision == Decision::NoMerge) return;
    KeptPair kept;
    kept.a = a;
    kept.b = b;
    kept.verdict = verdict;
    kept.factor = t.factor;
    kept.key = key;
    kept.outcomes = outcomes.size();
    if (verdict.early == ReconciliationEngine::Early::None)
        outcomes.insert(outcomes.end(), scratch.begin(), scratch.begin() + n_rules);
    pairs.push_back(kept);
}

void PairWorker::absorb_into(PairEvaluation& evaluation) {
    const std::size_t base = evaluation.outcomes.size();
    evaluation.outcomes.insert(evaluation.outcomes.end(), outcomes.begin(), outcomes.end());
    for (KeptPair p : pairs) {
        p.outcomes += base;
        evaluation.pairs.push_back(p);
    }
    evaluation.telemetry.merge(telemetry);
    evaluation.judged += judged;
    evaluation.copies += copies;
    *this = PairWorker{};
}

PairEvaluation evaluate_blocks(const RunContext& run, const BlockIndex& index,
                               const PreparedValues& prepared) {
    const BlockJudge judge{run, index, prepared};
    tbb::enumerable_thread_specific<PairWorker> workers;
    tbb::enumerable_thread_specific<std::vector<Member>> scratch;
    run.arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, index.by_rank.size()),
                          [&](const auto& ranks) {
                              std::uint64_t done = 0;
                              for (std::size_t r = ranks.begin(); r < ranks.end(); ++r) {
                                  run.check_cancel();
                                  const auto rank = static_cast<std::uint32_t>(r);
                                  const Block& block = index.ranked(rank);
                                  const std::size_t size = block.end - block.begin;
                                  std::vector<Member>& members = scratch.local();
                                  collect_members(index, block, members);
                                  if (members.size() > kSplitMembers) {
                                      // A copy: while it waits for the slices, this thread may take
                                      // on other blocks, which reuse its scratch.
                                      judge.split(rank, members, size, workers);
                                      continue;
                                  }
                                  judge.rows(rank, members, 0, members.size(), workers.local());
                                  done += self_pairs(size);
                              }
                              run.advance(&RunProgress::blocks_done, ranks.size());
                              run.advance(&RunProgress::pairs_done, done);
                          });
    });
    PairEvaluation out;
    std::size_t kept = 0, outcomes = 0;
    for (const PairWorker& w : workers) kept += w.pairs.size(), outcomes += w.outcomes.size();
    out.pairs.reserve(kept);
    out.outcomes.reserve(outcomes);
    for (PairWorker& w : workers) w.absorb_into(out);
    out.telemetry.set_blocking_groups(index.blocks.size());
    return out;
}

}  // namespace velatro::engine
