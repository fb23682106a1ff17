#pragma once
// u probabilities from random record pairs: nearly every random pair is a non-match, so
// the share of random pairs in each level estimates how often non-matches land there.
// The pairs are a fixed function of the seed (pair t is drawn from t alone), so the
// estimate does not depend on threads; with fewer possible pairs than asked for, every
// pair is taken once instead.
#include <cstdint>
#include <vector>

#include "engine/training/comparison_vectors.hpp"
#include "engine/training/em.hpp"

namespace velatro::engine::training {

struct UEstimate {
    LevelTable u;                                    // by field, level
    std::vector<std::vector<std::uint64_t>> counts;  // random pairs per field and level
    std::uint64_t pairs = 0;                         // random pairs compared
};

UEstimate estimate_u(const PreparedRecords& records, std::size_t record_count,
                     const VectorCodec& codec, std::uint64_t max_pairs, std::uint64_t seed,
                     std::size_t threads);

// u from level counts, with half a pair added to every level so that a level no random
// pair reached gets a small u rather than 0 (an infinite weight).
std::vector<double> smoothed_shares(const std::vector<std::uint64_t>& counts);

}  // namespace velatro::engine::training
