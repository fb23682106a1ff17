#include "engine/run/clustering.hpp"

#include <algorithm>
#include <cstdint>
#include <numeric>

namespace velatro::engine {
namespace {

class UnionFind {
  public:
    explicit UnionFind(std::size_t n) : parent_(n), rank_(n, 0) {
        std::iota(parent_.begin(), parent_.end(), std::size_t{0});
    }
    std::size_t find(std::size_t x) {
        while (parent_[x] != x) {
            parent_[x] = parent_[parent_[x]];
            x = parent_[x];
        }
        return x;
    }
    void unite(std::size_t a, std::size_t b) {
        a = find(a);
        b = find(b);
        if (a == b) return;
        if (rank_[a] < rank_[b]) std::swap(a, b);
        parent_[b] = a;
        if (rank_[a] == rank_[b]) ++rank_[a];
    }

  private:
    std::vector<std::size_t> parent_;
    std::vector<std::uint8_t> rank_;
};

// Positions grouped by root, each group in the order of its first position.
std::vector<std::vector<std::size_t>> groups_of(UnionFind& uf, std::size_t n) {
    constexpr std::size_t kNone = static_cast<std::size_t>(-1);
    std::vector<std::size_t> group_of_root(n, kNone);
    std::vector<std::vector<std::size_t>> groups;
    for (std::size_t i = 0; i < n; ++i) {
        std::size_t& g = group_of_root[uf.find(i)];
        if (g == kNone) {
            g = groups.size();
            groups.emplace_back();
        }
        groups[g].push_back(i);
    }
    return groups;
}

}  // namespace

Clustering cluster_pairs(const std::vector<NormalizedEntity>& entities, const IdIndex& ids,
                         const std::vector<KeptPair>& pairs) {
    const std::size_t n = entities.size();
    UnionFind uf(n);
    for (const KeptPair& p : pairs)
        if (p.verdict.decision == Decision::Merge) uf.unite(ids.resolved[p.a], ids.resolved[p.b]);

    std::vector<std::vector<std::size_t>> groups = groups_of(uf, n);
    for (auto& g : groups)
        std::stable_sort(g.begin(), g.end(), [&](std::size_t x, std::size_t y) {
            return entities[x].id < entities[y].id;
        });
    std::stable_sort(groups.begin(), groups.end(), [&](const auto& x, const auto& y) {
        return entities[x.front()].id < entities[y.front()].id;
    });

    Clustering out;
    out.clusters.reserve(groups.size());
    for (const auto& g : groups) {
        Cluster c;
        c.reserve(g.size());
        for (std::size_t i : g) c.push_back(entities[i].id);
        out.clusters.push_back(std::move(c));
    }
    out.members = std::move(groups);
    return out;
}

}  // namespace velatro::engine
