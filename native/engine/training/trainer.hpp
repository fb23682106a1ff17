#pragma once
// Training of a Fellegi-Sunter spec with comparison levels: u from random record pairs,
// m by expectation-maximisation over the candidate pairs of each blocking pass (or from
// pairs a person labelled), the prior from the expected matches among the candidate
// pairs, and a suggested threshold from the model's score distribution. Deterministic
// for a given seed whatever the number of threads.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/entity.hpp"
#include "engine/model/score_histogram.hpp"
#include "plan/enums.hpp"
#include "spec/identity_spec.hpp"

namespace velatro::engine::training {

struct LabelledPair {
    std::size_t a = 0, b = 0;  // positions of the two records
    bool match = false;
};

struct TrainingOptions {
    std::uint64_t max_random_pairs = 1000000;
    std::uint64_t seed = 0;
    std::uint64_t max_iterations = 25;
    double convergence_threshold = 0.001;
    std::size_t threads = 0;  // 0: every processor
    // Blocking keys (entity field lists) of the training passes; empty: the spec's own.
    std::vector<std::vector<std::string>> em_blocking;
    // When given, m comes from the matching pairs among these instead of from EM.
    std::vector<LabelledPair> labelled_pairs;
};

// The spec's training section as options (defaults where it has none).
TrainingOptions options_from(const spec::IdentitySpec& spec);

struct LevelEstimate {
    std::string name;
    plan::FsLevelComparator comparator = plan::FsLevelComparator::Else;
    double threshold = 1.0;
    double m = 0.0;
    double u = 0.0;
    double weight = 0.0;             // field weight x log2(m / u)
    std::uint64_t random_pairs = 0;  // random pairs that fell into the level
};

struct FieldEstimate {
    std::string name;
    bool m_estimated = false;     // false: no pass could learn it (blocked on in every pass)
    bool default_levels = false;  // the spec gave no levels; training chose them
    std::vector<LevelEstimate> levels;
};

struct PassReport {
    std::vector<std::string> blocking_fields;
    std::vector<std::string> fixed_fields;  // the FS fields this pass left out
    std::uint64_t pairs = 0;
    std::uint64_t distinct_vectors = 0;
    std::uint64_t iterations = 0;
    bool converged = false;
    double lambda = 0.0;  // share of matches among the pass's pairs
    std::vector<double> trace;
};

struct TrainingResult {
    std::string method;  // "em" or "labelled_pairs"
    std::vector<FieldEstimate> fields;
    double prior = 0.0;  // probability that two random records match
    std::uint64_t iterations = 0;
    std::vector<PassReport> passes;
    std::uint64_t random_pairs = 0;
    std::uint64_t candidate_pairs = 0;
    std::uint64_t labelled_matches = 0;
    // Over the candidate pairs, under the learned model (without term frequencies).
    ScoreDistribution distribution;
    std::optional<ThresholdChoice> threshold;
    // The thresholds the learned spec gets: merge at the suggested threshold, review from
    // a match probability of 0.1 (or the merge threshold, if lower).
    double match_threshold = 0.0;
    double possible_threshold = 0.0;
};

// Throws velatro::Error when the spec has no Fellegi-Sunter fields to train, nothing
// forms candidate pairs (no blocking keys, or no two records share a block), or a labelled pair
// names a record that is not there.
TrainingResult train(const spec::IdentitySpec& spec, const std::vector<NormalizedEntity>& entities,
                     const TrainingOptions& options);

}  // namespace velatro::engine::training
