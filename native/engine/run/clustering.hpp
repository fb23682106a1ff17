#pragma once
// The fifth stage: records joined by merge verdicts form clusters.
#include <cstddef>
#include <vector>

#include "engine/run/id_index.hpp"
#include "engine/run/pair_evaluation.hpp"

namespace velatro::engine {

// Clusters hold entity ids in ascending order and are ordered by their first id.
// members[k] lists the positions (in the entity list) of the records of cluster k in
// the same order as its ids, so later steps can use the very records clustering
// placed there even when two records share an id. A merge joins the records its ids
// stand for; a record whose id a later record shares stays alone.
struct Clustering {
    std::vector<Cluster> clusters;
    std::vector<std::vector<std::size_t>> members;
};

Clustering cluster_pairs(const std::vector<NormalizedEntity>& entities, const IdIndex& ids,
                         const std::vector<KeptPair>& pairs);

}  // namespace velatro::engine
