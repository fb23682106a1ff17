#include "engine/blocking/block_counts.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

#include <algorithm>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "engine/blocking/plan_blocking.hpp"

namespace velatro::engine {
namespace {

// One strategy per reported key: each plan blocking key on its own, so its texts can
// be told apart, then the locality-sensitive strategy when the engine has one.
struct KeySource {
    std::int64_t key_index;
    std::unique_ptr<BlockingStrategy> owned;
    const BlockingStrategy* strategy;
};

std::vector<KeySource> key_sources(const ReconciliationEngine& engine) {
    std::vector<KeySource> out;
    const auto& strategies = engine.blocking_strategies();
    for (const auto& strategy : strategies) {
        const auto* plan = dynamic_cast<const PlanBlocking*>(strategy.get());
        if (!plan) {
            out.push_back({-1, nullptr, strategy.get()});
            continue;
        }
        for (std::size_t i = 0; i < plan->keys().size(); ++i) {
            auto single = std::make_unique<PlanBlocking>(std::vector{plan->keys()[i]});
            const BlockingStrategy* raw = single.get();
            out.push_back({static_cast<std::int64_t>(i), std::move(single), raw});
        }
    }
    return out;
}

std::uint64_t pairs_of(std::uint64_t n) {
    return n * (n - (n > 0)) / 2;
}

using Counts = std::unordered_map<std::string_view, std::uint64_t>;

KeyBlockCounts summarise(std::int64_t key_index, const Counts& counts, std::uint64_t records,
                         std::size_t largest) {
    KeyBlockCounts out{key_index, counts.size(), 0, records, {}};
    std::vector<std::pair<std::string_view, std::uint64_t>> sizes(counts.begin(), counts.end());
    for (const auto& [key, n] : sizes) out.pairs += pairs_of(n);
    const std::size_t top = std::min(largest, sizes.size());
    // Largest first; equal sizes by key text, so the answer does not depend on hashing.
    std::partial_sort(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(top), sizes.end(),
                      [](const auto& x, const auto& y) {
                          return x.second != y.second ? x.second > y.second : x.first < y.first;
                      });
    for (std::size_t i = 0; i < top; ++i)
        out.largest.push_back({std::string(sizes[i].first), sizes[i].second});
    return out;
}

}  // namespace

BlockCounts count_blocks(const ReconciliationEngine& engine,
                         const std::vector<NormalizedEntity>& entities, std::size_t largest) {
    const std::vector<KeySource> sources = key_sources(engine);
    const std::size_t n = entities.size();
    // keys[s][i]: the texts source s gives record i, as the run's blocking step makes them.
    std::vector<std::vector<std::vector<std::string>>> keys(
        sources.size(), std::vector<std::vector<std::string>>(n));
    tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 256), [&](const auto& range) {
        for (std::size_t i = range.begin(); i < range.end(); ++i) {
            if (engine.excluded_from_blocking(entities[i])) continue;
            for (std::size_t s = 0; s < sources.size(); ++s)
                sources[s].strategy->append_block_keys(entities[i], keys[s][i]);
        }
    });

    BlockCounts out;
    Counts merged;
    for (std::size_t s = 0; s < sources.size(); ++s) {
        Counts counts;
        std::uint64_t records = 0;
        for (const auto& texts : keys[s]) {
            records += !texts.empty();
            for (const auto& text : texts) {
                ++counts[text];
                ++merged[text];
            }
        }
        out.keys.push_back(summarise(sources[s].key_index, counts, records, largest));
    }
    out.blocks = merged.size();
    for (const auto& [key, count] : merged) out.pairs += pairs_of(count);

    std::unordered_set<std::string_view> seen;
    for (std::size_t i = 0; i < n; ++i) {
        seen.clear();
        bool any = false, repeated = false;
        for (std::size_t s = 0; s < sources.size(); ++s)
            for (const auto& text : keys[s][i]) {
                any = true;
                repeated |= !seen.insert(text).second;
            }
        out.records_without_key += !any;
        out.records_with_repeated_key += repeated;
    }
    return out;
}

}  // namespace velatro::engine
