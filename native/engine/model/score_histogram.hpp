#pragma once
// The distribution of the scores of every pair a run evaluated, merged or not, in fixed
// bins: what a user needs to see to place a threshold. Bins are fixed per score scale
// (probabilities in hundredths; match weights in quarter bits from -40 to 40, with one
// open bin at each end), so histograms of worker threads merge by adding counts. Under a
// model with calibrated probabilities each bin also sums its pairs' match probabilities,
// in fixed point so that the sum does not depend on how the pairs were split.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/entity.hpp"

namespace velatro::engine {

enum class ScoreScale : std::uint8_t { Probability, MatchWeight };

struct ScoreBin {
    double lower = 0.0;  // -infinity for the open bin below the range
    double upper = 0.0;  // +infinity for the open bin above it
    std::uint64_t merge = 0;
    std::uint64_t review = 0;
    std::uint64_t no_merge = 0;
    double expected_matches = 0.0;  // sum of the pairs' match probabilities

    [[nodiscard]] std::uint64_t pairs() const noexcept { return merge + review + no_merge; }
    friend bool operator==(const ScoreBin&, const ScoreBin&) = default;
};

// The histogram as results carry it: the bins from the first to the last that holds a
// pair, in ascending order.
struct ScoreDistribution {
    ScoreScale scale = ScoreScale::Probability;
    bool calibrated = false;  // the bins' expected matches come from a model
    std::vector<ScoreBin> bins;
    std::uint64_t unscored = 0;  // NaN scores

    friend bool operator==(const ScoreDistribution&, const ScoreDistribution&) = default;
};

class ScoreHistogram {
  public:
    // posterior: the pair's match probability under a calibrated model, if any. Every
    // score of one histogram must use the same scale (the first one recorded).
    void record(ScoreScale scale, double score, std::optional<double> posterior, Decision decision,
                std::uint64_t count = 1);
    void merge(const ScoreHistogram& other);
    [[nodiscard]] bool empty() const noexcept { return counts_.empty() && unscored_ == 0; }
    [[nodiscard]] ScoreDistribution distribution() const;

  private:
    void allocate(ScoreScale scale);

    ScoreScale scale_ = ScoreScale::Probability;
    bool calibrated_ = false;
    std::vector<std::array<std::uint64_t, 3>> counts_;  // by bin: merge, review, no merge
    std::vector<std::uint64_t> expected_;               // by bin, in units of 2^-32
    std::uint64_t unscored_ = 0;
};

// The threshold that maximises the expected F1 of merging at or above it, with the
// precision and recall the model expects there, taken over bin edges. Recall counts the
// matches among the evaluated pairs only: pairs that blocking never formed are unseen.
struct ThresholdChoice {
    double threshold = 0.0;
    double precision = 0.0;
    double recall = 0.0;
    double f1 = 0.0;
    double expected_matches = 0.0;  // among all evaluated pairs
};

// Nothing when the distribution is not calibrated or expects no match at all.
std::optional<ThresholdChoice> suggest_threshold(const ScoreDistribution& distribution);

}  // namespace velatro::engine
