#include "engine/block_census.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "document/error.hpp"
#include "engine/blocking/lsh_blocking.hpp"
#include "engine/blocking/plan_blocking.hpp"
#include "engine/temporal.hpp"

namespace velatro::engine {
namespace {

std::uint64_t pairs_of(std::uint64_t n) {
    return n < 2 ? 0 : n * (n - 1) / 2;
}

// One blocking key (or LSH strategy) as a strategy of its own, so each key's share of
// the work can be counted apart. A key the spec repeats is probed once and counted
// `repeat` times, so a key written ten thousand times costs one key's work here.
struct Probe {
    std::string label;
    std::unique_ptr<BlockingStrategy> owned;
    const BlockingStrategy* strategy = nullptr;
    std::uint32_t repeat = 1;
};

std::string label_of(const plan::BlockingKey& key) {
    std::string label;
    for (const std::string& field : key.fields) {
        if (!label.empty()) label += '|';
        label += field;
    }
    return label.empty() ? "(no fields)" : label;
}

bool same_key(const plan::BlockingKey& x, const plan::BlockingKey& y) {
    return x.fields == y.fields && x.transformations == y.transformations;
}

void add_plan_keys(const PlanBlocking& plan, std::vector<Probe>& probes) {
    std::vector<const plan::BlockingKey*> seen;  // parallel to the probes added here
    const std::size_t first = probes.size();
    for (const plan::BlockingKey& key : plan.keys()) {
        auto it = std::find_if(seen.begin(), seen.end(),
                               [&](const plan::BlockingKey* k) { return same_key(*k, key); });
        if (it != seen.end()) {
            ++probes[first + static_cast<std::size_t>(it - seen.begin())].repeat;
            continue;
        }
        seen.push_back(&key);
        Probe p{label_of(key), std::make_unique<PlanBlocking>(std::vector{key}), nullptr, 1};
        p.strategy = p.owned.get();
        probes.push_back(std::move(p));
    }
}

std::vector<Probe> probes_of(const ReconciliationEngine& engine) {
    std::vector<Probe> probes;
    for (const auto& strategy : engine.blocking_strategies()) {
        if (const auto* plan = dynamic_cast<const PlanBlocking*>(strategy.get())) {
            add_plan_keys(*plan, probes);
        } else if (const auto* lsh = dynamic_cast<const LshBlocking*>(strategy.get())) {
            std::string label = "lsh";
            for (const std::string& f : lsh->fields()) label += (label == "lsh" ? ":" : "|") + f;
            probes.push_back({std::move(label), nullptr, strategy.get(), 1});
        } else {
            probes.push_back({"strategy", nullptr, strategy.get(), 1});
        }
    }
    return probes;
}

// One key a record produced: which record (by the id map, as the run resolves it),
// which definition, and how many times (a repeated key puts the record into the block
// that many times).
struct Entry {
    std::string_view key;
    std::uint32_t entity;
    std::uint32_t definition;
    std::uint64_t count;
};

struct KeyedEntries {
    std::vector<std::vector<std::string>> texts;  // per record and definition, flattened
    std::vector<Entry> entries;
};

KeyedEntries block_entries(const ReconciliationEngine& engine,
                           const std::vector<NormalizedEntity>& entities,
                           const std::vector<Probe>& probes, BlockCensus& census) {
    const std::size_t n = entities.size();
    std::unordered_map<Uuid, std::uint32_t, UuidHash> by_id;
    by_id.reserve(n);
    for (std::size_t i = 0; i < n; ++i) by_id[entities[i].id] = static_cast<std::uint32_t>(i);

    KeyedEntries out;
    const std::size_t d = probes.size();
    out.texts.resize(n * d);
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 256), [&](const auto& range) {
        for (std::size_t i = range.begin(); i < range.end(); ++i) {
            if (engine.excluded_from_blocking(entities[i])) continue;
            for (std::size_t k = 0; k < d; ++k)
                probes[k].strategy->append_block_keys(entities[i], out.texts[i * d + k]);
        }
    });
    std::size_t total = 0;
    for (const auto& t : out.texts) total += t.size();
    out.entries.reserve(total);
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t resolved = by_id[entities[i].id];
        bool blocked = false;
        for (std::size_t k = 0; k < d; ++k) {
            const auto& keys = out.texts[i * d + k];
            if (!keys.empty()) ++census.definitions[k].records;
            census.definitions[k].entries += keys.size() * probes[k].repeat;
            blocked = blocked || !keys.empty();
            for (const std::string& key : keys)
                out.entries.push_back(
                    {key, resolved, static_cast<std::uint32_t>(k), probes[k].repeat});
        }
        if (blocked) ++census.records_blocked;
    }
    return out;
}

struct BlockRange {
    std::size_t begin, end;  // entries
    std::uint64_t size;      // records in the block, repeats included
};

std::uint64_t size_of(const std::vector<Entry>& entries, std::size_t begin, std::size_t end) {
    std::uint64_t size = 0;
    for (std::size_t i = begin; i < end; ++i) size += entries[i].count;
    return size;
}

std::vector<BlockRange> group_blocks(std::vector<Entry>& entries) {
    tbb::parallel_sort(entries.begin(), entries.end(), [](const Entry& x, const Entry& y) {
        if (int c = x.key.compare(y.key); c != 0) return c < 0;
        if (x.definition != y.definition) return x.definition < y.definition;
        return x.entity < y.entity;
    });
    std::vector<BlockRange> blocks;
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t j = i + 1;
        while (j < entries.size() && entries[j].key == entries[i].key) ++j;
        blocks.push_back({i, j, size_of(entries, i, j)});
        i = j;
    }
    return blocks;
}

void count_blocks(const std::vector<Entry>& entries, const std::vector<BlockRange>& blocks,
                  std::size_t largest, BlockCensus& census) {
    census.blocks = blocks.size();
    for (const BlockRange& b : blocks) {
        census.candidate_pairs += pairs_of(b.size);
        // Entries of one definition are adjacent inside the block (sorted).
        for (std::size_t i = b.begin; i < b.end;) {
            std::size_t j = i + 1;
            while (j < b.end && entries[j].definition == entries[i].definition) ++j;
            BlockCensus::Definition& def = census.definitions[entries[i].definition];
            ++def.blocks;
            const std::uint64_t size = size_of(entries, i, j);
            def.pairs += pairs_of(size);
            def.largest_block = std::max(def.largest_block, size);
            i = j;
        }
    }
    std::vector<std::size_t> order(blocks.size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    const std::size_t top = std::min(largest, order.size());
    auto size = [&](std::size_t b) { return blocks[b].size; };
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(top), order.end(),
                      [&](std::size_t x, std::size_t y) {
                          if (size(x) != size(y)) return size(x) > size(y);
                          return entries[blocks[x].begin].key < entries[blocks[y].begin].key;
                      });
    for (std::size_t k = 0; k < top; ++k) {
        const BlockRange& b = blocks[order[k]];
        BlockCensus::Block out{std::string(entries[b.begin].key), b.size, pairs_of(b.size), {}};
        for (std::size_t i = b.begin; i < b.end; ++i)
            if (out.definitions.empty() || out.definitions.back() != entries[i].definition)
                out.definitions.push_back(entries[i].definition);
        census.largest.push_back(std::move(out));
    }
}

// The position of the q-th pair (in row order) of a block of n entries.
std::pair<std::size_t, std::size_t> pair_at(std::uint64_t n, std::uint64_t q) {
    // Pairs before row i: i*n - i*(i+1)/2; find the last row whose start is <= q.
    std::uint64_t lo = 0, hi = n - 1;
    auto before = [&](std::uint64_t i) { return i * n - i * (i + 1) / 2; };
    while (lo + 1 < hi) {
        const std::uint64_t mid = (lo + hi) / 2;
        (before(mid) <= q ? lo : hi) = mid;
    }
    if (before(hi) <= q) lo = hi;
    return {lo, lo + 1 + (q - before(lo))};
}

void calibrate(const ReconciliationEngine& engine, const std::vector<NormalizedEntity>& entities,
               const std::vector<Entry>& entries, const std::vector<BlockRange>& blocks,
               std::size_t sample, BlockCensus& census) {
    if (census.candidate_pairs == 0 || sample == 0) return;
    std::vector<std::uint64_t> starts;  // first pair index of each block
    starts.reserve(blocks.size());
    std::uint64_t total = 0;
    for (const BlockRange& b : blocks) {
        starts.push_back(total);
        total += pairs_of(b.end - b.begin);
    }
    const std::uint64_t count = std::min<std::uint64_t>(sample, total);
    if (count == 0) {  // only records meeting themselves through a repeated key
        if (!census.evaluated_exact) census.evaluated_pairs = census.candidate_pairs;
        return;
    }
    const std::size_t n_rules = engine.rules().size();
    std::vector<PreparedValue> pa(n_rules), pb(n_rules);
    std::vector<RuleOutcome> outcomes(n_rules);
    const OverrideResolver overrides;
    using Clock = std::chrono::steady_clock;
    Clock::duration preparing{}, judging{};
    std::uint64_t kept = 0, skipped = 0;
    for (std::uint64_t t = 0; t < count; ++t) {
        const std::uint64_t index = static_cast<std::uint64_t>(
            static_cast<long double>(t) * static_cast<long double>(total) / count);
        const std::size_t b = static_cast<std::size_t>(
            std::upper_bound(starts.begin(), starts.end(), index) - starts.begin() - 1);
        const BlockRange& block = blocks[b];
        const auto [i, j] = pair_at(block.end - block.begin, index - starts[b]);
        const NormalizedEntity& a = entities[entries[block.begin + i].entity];
        const NormalizedEntity& e = entities[entries[block.begin + j].entity];
        const auto t0 = Clock::now();
        engine.prepare(a, pa.data());
        engine.prepare(e, pb.data());
        const auto t1 = Clock::now();
        const TemporalResult tr = engine.temporal_matcher().evaluate(a, e);
        if (tr.outcome == TemporalOutcome::Invalid && tr.factor == 0.0) {
            ++skipped;
            continue;
        }
        const auto verdict = engine.judge(a, e, pa.data(), pb.data(), overrides, tr.factor,
                                          outcomes.data(), nullptr);
        judging += Clock::now() - t1;
        preparing += t1 - t0;
        if (verdict.decision != Decision::NoMerge) ++kept;
    }
    auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
    census.sampled_pairs = count;
    census.seconds_per_pair = seconds(judging) / static_cast<double>(count);
    census.seconds_per_record = seconds(preparing) / static_cast<double>(2 * count);
    census.kept_fraction = static_cast<double>(kept) / static_cast<double>(count);
    if (!census.evaluated_exact)
        census.evaluated_pairs = static_cast<std::uint64_t>(
            static_cast<double>(census.candidate_pairs) *
            (1.0 - static_cast<double>(skipped) / static_cast<double>(count)));
}

// The pairs temporal validity leaves to compare, counted pair by pair.
std::uint64_t temporally_valid_pairs(const ReconciliationEngine& engine,
                                     const std::vector<NormalizedEntity>& entities,
                                     const std::vector<Entry>& entries,
                                     const std::vector<BlockRange>& blocks) {
    std::atomic<std::uint64_t> total{0};
    tbb::parallel_for(std::size_t{0}, blocks.size(), [&](std::size_t k) {
        const BlockRange b = blocks[k];
        std::uint64_t local = 0;
        auto valid = [&](std::size_t i, std::size_t j) {
            const TemporalResult t = engine.temporal_matcher().evaluate(
                entities[entries[i].entity], entities[entries[j].entity]);
            return !(t.outcome == TemporalOutcome::Invalid && t.factor == 0.0);
        };
        for (std::size_t i = b.begin; i < b.end; ++i) {
            // A record in the block several times also meets itself.
            if (entries[i].count > 1 && valid(i, i)) local += pairs_of(entries[i].count);
            for (std::size_t j = i + 1; j < b.end; ++j)
                if (valid(i, j)) local += entries[i].count * entries[j].count;
        }
        total += local;
    });
    return total;
}

}  // namespace

BlockCensus take_census(const ReconciliationEngine& engine,
                        const std::vector<NormalizedEntity>& entities, CensusOptions options) {
    BlockCensus census;
    census.records = entities.size();
    const std::vector<Probe> probes = probes_of(engine);
    for (const Probe& p : probes) {
        BlockCensus::Definition d;
        d.label = p.label;
        d.repeats = p.repeat;
        census.definitions.push_back(std::move(d));
    }
    KeyedEntries keyed = block_entries(engine, entities, probes, census);
    const std::vector<BlockRange> blocks = group_blocks(keyed.entries);
    count_blocks(keyed.entries, blocks, options.largest, census);
    if (census.candidate_pairs <= options.exact_limit) {
        census.evaluated_pairs = temporally_valid_pairs(engine, entities, keyed.entries, blocks);
        census.evaluated_exact = true;
    }
    calibrate(engine, entities, keyed.entries, blocks, options.sample_pairs, census);
    return census;
}

}  // namespace velatro::engine

namespace velatro::engine {
namespace {

std::string key_labels(const BlockCensus& census, const BlockCensus::Block& block) {
    std::string out;
    for (std::size_t d : block.definitions) {
        if (!out.empty()) out += ", ";
        const BlockCensus::Definition& def = census.definitions[d];
        out += "'" + def.label + "'";
        if (def.repeats > 1) out += " (written " + std::to_string(def.repeats) + " times)";
    }
    return out;
}

const BlockCensus::Definition& costliest(const BlockCensus& census) {
    return *std::max_element(census.definitions.begin(), census.definitions.end(),
                             [](const auto& x, const auto& y) { return x.pairs < y.pairs; });
}

}  // namespace

void check_budget(const BlockCensus& census, const RunBudget& budget) {
    if (census.largest.empty()) return;
    const BlockCensus::Block& top = census.largest.front();
    if (budget.max_block_size && top.size > budget.max_block_size)
        throw velatro::Error(
            "run refused before comparing: block '" + top.key + "' of blocking key " +
            key_labels(census, top) + " holds " + std::to_string(top.size) + " records (" +
            std::to_string(top.pairs) +
            " pairs), more than max_block_size=" + std::to_string(budget.max_block_size) +
            ". Make the key more selective (add a field to it, or keep placeholder values out "
            "with an exclusion), or raise max_block_size.");
    if (budget.max_pairs && census.candidate_pairs > budget.max_pairs) {
        const BlockCensus::Definition& worst = costliest(census);
        throw velatro::Error(
            "run refused before comparing: the blocks hold " +
            std::to_string(census.candidate_pairs) + " candidate pairs, more than max_pairs=" +
            std::to_string(budget.max_pairs) + "; blocking key '" + worst.label + "'" +
            (worst.repeats > 1 ? " (written " + std::to_string(worst.repeats) + " times)" : "") +
            " alone forms " + std::to_string(worst.pairs) + " pairs, and the largest block '" +
            top.key + "' (key " + key_labels(census, top) + ") holds " + std::to_string(top.size) +
            " records. Make the blocking more selective, or raise max_pairs.");
    }
}

double estimated_result_bytes(const BlockCensus& census, std::size_t rules) {
    const double kept = static_cast<double>(census.evaluated_pairs) * census.kept_fraction;
    return kept * static_cast<double>(kPairRowBytes + kScoreBytes * rules);
}

void check_run_budget(const ReconciliationEngine& engine,
                      const std::vector<NormalizedEntity>& entities, const RunBudget& budget) {
    if (!budget.max_pairs && !budget.max_block_size && !budget.max_result_bytes) return;
    CensusOptions counts_only;
    counts_only.largest = 1;
    counts_only.sample_pairs = 0;
    counts_only.exact_limit = 0;
    const BlockCensus counts = take_census(engine, entities, counts_only);
    check_budget(counts, budget);
    const std::size_t rules = engine.rules().size();
    const double worst = static_cast<double>(counts.candidate_pairs) *
                         static_cast<double>(kPairRowBytes + kScoreBytes * rules);
    if (!budget.max_result_bytes || worst <= static_cast<double>(budget.max_result_bytes)) return;
    CensusOptions sampled;
    sampled.largest = 1;
    sampled.exact_limit = 0;
    const BlockCensus census = take_census(engine, entities, sampled);
    const double bytes = estimated_result_bytes(census, rules);
    if (bytes > static_cast<double>(budget.max_result_bytes))
        throw velatro::Error(
            "run refused before comparing: its kept pairs would take about " +
            std::to_string(static_cast<std::uint64_t>(bytes / 1e6)) + " MB (" +
            std::to_string(static_cast<std::uint64_t>(census.kept_fraction * 100.0 + 0.5)) +
            "% of " + std::to_string(census.evaluated_pairs) +
            " pairs kept), more than max_result_bytes=" + std::to_string(budget.max_result_bytes) +
            ". Make the blocking more selective or raise the review threshold, or raise the "
            "memory budget.");
}

}  // namespace velatro::engine
