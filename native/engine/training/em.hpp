#pragma once
// Expectation-maximisation of the m probabilities and the share of matches (lambda) over
// counted comparison vectors, with the u probabilities held fixed (they come from random
// pairs, where matches are too rare to matter). Sums run in a fixed order over fixed
// chunks, so the result does not depend on the number of threads.
#include <cstdint>
#include <vector>

#include "engine/training/comparison_vectors.hpp"

namespace velatro::engine::training {

// Probabilities by field, then level.
using LevelTable = std::vector<std::vector<double>>;

struct EmSettings {
    std::uint64_t max_iterations = 25;
    double convergence_threshold = 0.001;
};

struct EmResult {
    LevelTable m;
    double lambda = 0.0;
    std::uint64_t iterations = 0;
    bool converged = false;
    // The largest change of any estimated probability (m or lambda) in each iteration.
    std::vector<double> trace;
};

// Fields not active take no part: they add no evidence and keep the m they came with
// (blocking on a field makes its agreement among candidate pairs say nothing about
// matching).
EmResult expectation_maximisation(const VectorTable& table, const LevelTable& u, LevelTable m,
                                  double lambda, const std::vector<bool>& active,
                                  const EmSettings& settings);

// The probability that a pair with vector v is a match, given the model. lambda is the
// share of matches among the pairs the table counts.
double match_probability(const VectorTable& table, std::size_t v, const LevelTable& m,
                         const LevelTable& u, double lambda, const std::vector<bool>& active);

}  // namespace velatro::engine::training
