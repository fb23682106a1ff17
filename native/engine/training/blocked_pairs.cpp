#include "engine/training/blocked_pairs.hpp"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <functional>

#include "engine/blocking/lsh_blocking.hpp"
#include "engine/blocking/plan_blocking.hpp"

namespace velatro::engine::training {

namespace {

constexpr std::uint64_t kDefaultLshBands = 20;
constexpr std::uint64_t kDefaultLshRows = 5;

// Per pass, per record: the hashes of its block keys, sorted, without repeats.
using KeySets = std::vector<std::vector<std::uint64_t>>;

KeySets key_sets(const BlockingPass& pass, const ReconciliationEngine& engine,
                 const std::vector<NormalizedEntity>& entities, tbb::task_arena& arena) {
    KeySets out(entities.size());
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, entities.size(), 256),
                          [&](const auto& range) {
                              std::vector<std::string> keys;
                              const std::hash<std::string_view> hasher;
                              for (std::size_t i = range.begin(); i < range.end(); ++i) {
                                  if (engine.excluded_from_blocking(entities[i])) continue;
                                  keys.clear();
                                  pass.strategy->append_block_keys(entities[i], keys);
                                  auto& set = out[i];
                                  for (const auto& key : keys) set.push_back(hasher(key));
                                  std::sort(set.begin(), set.end());
                                  set.erase(std::unique(set.begin(), set.end()), set.end());
                              }
                          });
    });
    return out;
}

// The smallest key two sorted sets share, or 0 with found false.
bool first_shared(const std::vector<std::uint64_t>& x, const std::vector<std::uint64_t>& y,
                  std::uint64_t& key) {
    auto i = x.begin(), j = y.begin();
    while (i != x.end() && j != y.end()) {
        if (*i == *j) {
            key = *i;
            return true;
        }
        if (*i < *j)
            ++i;
        else
            ++j;
    }
    return false;
}

struct Entry {
    std::uint64_t key;
    std::uint32_t record;
    friend bool operator<(const Entry& x, const Entry& y) {
        return x.key != y.key ? x.key < y.key : x.record < y.record;
    }
};

struct Local {
    VectorCounts pass, all;
    std::vector<int> scratch;
};

void count_pass(std::size_t p, const std::vector<KeySets>& keys, const PreparedRecords& records,
                const VectorCodec& codec, tbb::task_arena& arena, BlockedCounts& out) {
    std::vector<Entry> entries;
    for (std::size_t i = 0; i < keys[p].size(); ++i)
        for (std::uint64_t key : keys[p][i])
            entries.push_back({key, static_cast<std::uint32_t>(i)});
    std::sort(entries.begin(), entries.end());
    std::vector<std::pair<std::size_t, std::size_t>> blocks;
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t j = i + 1;
        while (j < entries.size() && entries[j].key == entries[i].key) ++j;
        if (j - i > 1) blocks.emplace_back(i, j);
        i = j;
    }
    tbb::enumerable_thread_specific<Local> locals([&] {
        return Local{{}, {}, std::vector<int>(codec.fields())};
    });
    auto pair = [&](Local& local, std::uint64_t block_key, std::uint32_t a, std::uint32_t b) {
        std::uint64_t shared = 0;
        first_shared(keys[p][a], keys[p][b], shared);
        if (shared != block_key) return;  // counted in the block of a smaller shared key
        const std::uint64_t code = records.code(a, b, codec, local.scratch.data());
        ++local.pass[code];
        for (std::size_t q = 0; q < p; ++q)
            if (first_shared(keys[q][a], keys[q][b], shared)) return;  // an earlier pass has it
        ++local.all[code];
    };
    auto rows = [&](std::pair<std::size_t, std::size_t> block, std::size_t from, std::size_t to) {
        Local& local = locals.local();
        for (std::size_t i = block.first + from; i < block.first + to; ++i)
            for (std::size_t j = i + 1; j < block.second; ++j)
                pair(local, entries[i].key, entries[i].record, entries[j].record);
    };
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, blocks.size()), [&](const auto& br) {
            for (std::size_t b = br.begin(); b < br.end(); ++b) {
                const auto block = blocks[b];
                const std::size_t size = block.second - block.first;
                if (size < 64) {
                    rows(block, 0, size);
                    continue;
                }
                tbb::parallel_for(tbb::blocked_range<std::size_t>(0, size, 4),
                                  [&](const auto& r) { rows(block, r.begin(), r.end()); });
            }
        });
    });
    for (const Local& local : locals) {
        add_counts(out.per_pass[p], local.pass);
        add_counts(out.all, local.all);
    }
}

}  // namespace

std::vector<BlockingPass> blocking_passes(const plan::CompiledBlocking& blocking) {
    std::vector<BlockingPass> out;
    std::vector<std::string> all_fields;
    for (const auto& key : blocking.keys) {
        out.push_back(
            {std::make_shared<PlanBlocking>(std::vector<plan::BlockingKey>{key}), key.fields});
        all_fields.insert(all_fields.end(), key.fields.begin(), key.fields.end());
    }
    if (blocking.strategy == plan::BlockingStrategy::Lsh && !all_fields.empty())
        out.push_back({std::make_shared<LshBlocking>(all_fields,
                                                     blocking.lsh_bands.value_or(kDefaultLshBands),
                                                     blocking.lsh_rows.value_or(kDefaultLshRows)),
                       all_fields});
    return out;
}

BlockedCounts count_blocked(const std::vector<BlockingPass>& passes,
                            const ReconciliationEngine& engine,
                            const std::vector<NormalizedEntity>& entities,
                            const PreparedRecords& records, const VectorCodec& codec,
                            std::size_t threads) {
    tbb::task_arena arena(threads ? static_cast<int>(threads) : tbb::task_arena::automatic);
    std::vector<KeySets> keys;
    for (const auto& pass : passes) keys.push_back(key_sets(pass, engine, entities, arena));
    BlockedCounts out;
    out.per_pass.resize(passes.size());
    for (std::size_t p = 0; p < passes.size(); ++p) count_pass(p, keys, records, codec, arena, out);
    return out;
}

}  // namespace velatro::engine::training
