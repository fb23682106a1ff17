#pragma once
// The first stage of a run: every record's block keys, the records grouped by key into
// blocks, and for each record the blocks it shares with others, so that the pair stage
// can judge a pair once however many blocks the two records share.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "engine/run/id_index.hpp"
#include "engine/run/run_context.hpp"

namespace velatro::engine {

// One (key, record) produced by blocking. A record that emits a key twice has two
// entries under it; a record whose id another record shares appears as that record.
struct BlockEntry {
    std::uint64_t hash;
    std::string_view key;
    std::uint32_t entity;  // the resolved position (IdIndex)
};

struct Block {
    std::size_t begin, end;  // range in BlockIndex::entries
};

// One block a record belongs to: the block's rank (see BlockIndex::by_rank) and how
// many of the block's entries are the record.
struct Membership {
    std::uint32_t rank;
    std::uint32_t count;
};

struct BlockIndex {
    // Per record, the keys of its blocking strategies in their order; the entries and
    // the kept pairs view these texts.
    std::vector<std::vector<std::string>> keys;
    // Grouped by key (hash first, then the text), ids ascending within a key, so the
    // entries of one record follow each other.
    std::vector<BlockEntry> entries;
    // Every distinct key, in the order of the entries.
    std::vector<Block> blocks;
    // The blocks with two entries or more, those that form pairs, in byte order of their
    // keys: a block's rank is its position here.
    std::vector<std::uint32_t> by_rank;
    // Per resolved record, its memberships of those blocks by ascending rank:
    // memberships[membership_begin[e] .. membership_begin[e + 1]).
    std::vector<std::size_t> membership_begin;
    std::vector<Membership> memberships;
    // The pairs the blocks form, every copy counted: the sum over blocks of s(s-1)/2.
    std::uint64_t pair_copies = 0;

    [[nodiscard]] const Block& ranked(std::size_t rank) const { return blocks[by_rank[rank]]; }
    [[nodiscard]] std::string_view key_of(const Block& block) const {
        return entries[block.begin].key;
    }
    [[nodiscard]] std::span<const Membership> memberships_of(std::uint32_t entity) const {
        return {memberships.data() + membership_begin[entity],
                membership_begin[entity + 1] - membership_begin[entity]};
    }
};

BlockIndex build_block_index(const RunContext& run, const IdIndex& ids);

}  // namespace velatro::engine
