#include "engine/run/block_index.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_sort.h>

#include <functional>

namespace velatro::engine {
namespace {

// Block keys of every record that no exclusion keeps out, in the strategies' order.
std::vector<std::vector<std::string>> block_keys(const RunContext& run) {
    const std::size_t n = run.entities.size();
    std::vector<std::vector<std::string>> keys(n);
    const auto& strategies = run.engine.blocking_strategies();
    run.arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 256), [&](const auto& range) {
            run.check_cancel();
            for (std::size_t i = range.begin(); i < range.end(); ++i) {
                const NormalizedEntity& e = run.entities[i];
                if (run.engine.excluded_from_blocking(e)) continue;
                for (const auto& strategy : strategies) strategy->append_block_keys(e, keys[i]);
            }
        });
    });
    return keys;
}

std::vector<BlockEntry> sorted_entries(const RunContext& run, const IdIndex& ids,
                                       const std::vector<std::vector<std::string>>& keys) {
    std::size_t total = 0;
    for (const auto& k : keys) total += k.size();
    std::vector<BlockEntry> entries;
    entries.reserve(total);
    const std::hash<std::string_view> hasher;
    for (std::size_t i = 0; i < keys.size(); ++i)
        for (const auto& key : keys[i]) entries.push_back({hasher(key), key, ids.resolved[i]});
    // Hashes compare faster than texts; blocks need no particular order, since pairs are
    // judged under the smallest key by rank (see the memberships). Entries equal on all
    // three resolve to the same record, so the sort's instability changes nothing.
    const auto& entities = run.entities;
    run.arena.execute([&] {
        tbb::parallel_sort(entries.begin(), entries.end(),
                           [&](const BlockEntry& x, const BlockEntry& y) {
                               if (x.hash != y.hash) return x.hash < y.hash;
                               if (int c = x.key.compare(y.key); c != 0) return c < 0;
                               return entities[x.entity].id < entities[y.entity].id;
                           });
    });
    return entries;
}

std::vector<Block> group_blocks(const std::vector<BlockEntry>& entries) {
    std::vector<Block> blocks;
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t j = i + 1;
        while (j < entries.size() && entries[j].hash == entries[i].hash &&
               entries[j].key == entries[i].key)
            ++j;
        blocks.push_back({i, j});
        i = j;
    }
    return blocks;
}

// Calls visit(rank, entity, count) for each record of each block by ascending rank, once
// per run of equal entries.
template <class Visit>
void for_each_membership(const BlockIndex& index, Visit&& visit) {
    for (std::size_t rank = 0; rank < index.by_rank.size(); ++rank) {
        const Block& block = index.ranked(rank);
        for (std::size_t i = block.begin; i < block.end;) {
            std::size_t j = i + 1;
            while (j < block.end && index.entries[j].entity == index.entries[i].entity) ++j;
            visit(static_cast<std::uint32_t>(rank), index.entries[i].entity,
                  static_cast<std::uint32_t>(j - i));
            i = j;
        }
    }
}

void rank_blocks(const RunContext& run, BlockIndex& index) {
    for (std::size_t b = 0; b < index.blocks.size(); ++b) {
        const std::size_t size = index.blocks[b].end - index.blocks[b].begin;
        if (size < 2) continue;
        index.by_rank.push_back(static_cast<std::uint32_t>(b));
        index.pair_copies += static_cast<std::uint64_t>(size) * (size - 1) / 2;
    }
    run.arena.execute([&] {
        tbb::parallel_sort(index.by_rank.begin(), index.by_rank.end(),
                           [&](std::uint32_t x, std::uint32_t y) {
                               return index.key_of(index.blocks[x]) < index.key_of(index.blocks[y]);
                           });
    });
}

// Two passes over the pairing blocks in rank order: count each record's memberships,
// then fill them in, already sorted by rank.
void index_memberships(std::size_t n, BlockIndex& index) {
    index.membership_begin.assign(n + 1, 0);
    for_each_membership(index, [&](std::uint32_t, std::uint32_t entity, std::uint32_t) {
        ++index.membership_begin[entity + 1];
    });
    for (std::size_t e = 0; e < n; ++e) index.membership_begin[e + 1] += index.membership_begin[e];
    index.memberships.resize(index.membership_begin[n]);
    std::vector<std::size_t> next(index.membership_begin.begin(), index.membership_begin.end() - 1);
    for_each_membership(index, [&](std::uint32_t rank, std::uint32_t entity, std::uint32_t count) {
        index.memberships[next[entity]++] = {rank, count};
    });
}

}  // namespace

BlockIndex build_block_index(const RunContext& run, const IdIndex& ids) {
    BlockIndex index;
    index.keys = block_keys(run);
    run.check_cancel();
    index.entries = sorted_entries(run, ids, index.keys);
    index.blocks = group_blocks(index.entries);
    rank_blocks(run, index);
    index_memberships(run.entities.size(), index);
    return index;
}

}  // namespace velatro::engine
