#include "engine/model/score_histogram.hpp"

#include <cmath>
#include <limits>

namespace velatro::engine {

namespace {

struct Layout {
    double lower;  // of the first closed bin
    double width;
    std::size_t inner;  // closed bins; one open bin below and one above
};

// Indexed by ScoreScale.
constexpr Layout kLayouts[] = {
    {0.0, 0.01, 100},
    {-40.0, 0.25, 320},
};

constexpr double kFixedPoint = 4294967296.0;  // 2^32

std::size_t bin_of(const Layout& layout, double score) {
    const double x = (score - layout.lower) / layout.width;
    if (x < 0.0) return 0;
    // A probability of exactly 1 belongs to the last closed bin, not above the range.
    if (x >= static_cast<double>(layout.inner))
        return score == layout.lower + layout.width * static_cast<double>(layout.inner) &&
                       layout.lower == 0.0
                   ? layout.inner
                   : layout.inner + 1;
    return static_cast<std::size_t>(x) + 1;
}

}  // namespace

void ScoreHistogram::allocate(ScoreScale scale) {
    scale_ = scale;
    const std::size_t bins = kLayouts[static_cast<int>(scale)].inner + 2;
    counts_.assign(bins, {0, 0, 0});
    expected_.assign(bins, 0);
}

void ScoreHistogram::record(ScoreScale scale, double score, std::optional<double> posterior,
                            Decision decision, std::uint64_t count) {
    if (counts_.empty()) allocate(scale);
    if (std::isnan(score)) {
        unscored_ += count;
        return;
    }
    const std::size_t bin = bin_of(kLayouts[static_cast<int>(scale_)], score);
    counts_[bin][static_cast<int>(decision)] += count;
    if (posterior) {
        calibrated_ = true;
        expected_[bin] +=
            count * static_cast<std::uint64_t>(std::llround(*posterior * kFixedPoint));
    }
}

void ScoreHistogram::merge(const ScoreHistogram& other) {
    if (other.counts_.empty()) {
        unscored_ += other.unscored_;
        return;
    }
    if (counts_.empty()) allocate(other.scale_);
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        for (int d = 0; d < 3; ++d) counts_[i][d] += other.counts_[i][d];
        expected_[i] += other.expected_[i];
    }
    calibrated_ = calibrated_ || other.calibrated_;
    unscored_ += other.unscored_;
}

ScoreDistribution ScoreHistogram::distribution() const {
    ScoreDistribution out;
    out.scale = scale_;
    out.calibrated = calibrated_;
    out.unscored = unscored_;
    if (counts_.empty()) return out;
    const Layout& layout = kLayouts[static_cast<int>(scale_)];
    constexpr double kInf = std::numeric_limits<double>::infinity();
    std::size_t first = counts_.size(), last = 0;
    for (std::size_t i = 0; i < counts_.size(); ++i) {
        if (counts_[i][0] + counts_[i][1] + counts_[i][2] == 0) continue;
        first = std::min(first, i);
        last = i;
    }
    for (std::size_t i = first; i <= last && first < counts_.size(); ++i) {
        ScoreBin bin;
        const double edge = layout.lower + layout.width * static_cast<double>(i);
        bin.lower = i == 0 ? -kInf : edge - layout.width;
        bin.upper = i == layout.inner + 1 ? kInf : edge;
        bin.merge = counts_[i][0];
        bin.review = counts_[i][1];
        bin.no_merge = counts_[i][2];
        bin.expected_matches = static_cast<double>(expected_[i]) / kFixedPoint;
        out.bins.push_back(bin);
    }
    return out;
}

std::optional<ThresholdChoice> suggest_threshold(const ScoreDistribution& distribution) {
    if (!distribution.calibrated || distribution.bins.empty()) return std::nullopt;
    double matches = 0.0, pairs = 0.0;
    for (const auto& bin : distribution.bins) {
        matches += bin.expected_matches;
        pairs += static_cast<double>(bin.pairs());
    }
    if (!(matches > 0.0)) return std::nullopt;
    // Merging every bin from i up: expected true positives are the matches above, false
    // positives the rest of the pairs above, false negatives the matches below.
    std::optional<ThresholdChoice> best;
    double tp = matches, above = pairs;
    for (const auto& bin : distribution.bins) {
        if (above > 0.0 && std::isfinite(bin.lower)) {
            const double precision = tp / above;
            const double recall = tp / matches;
            const double f1 =
                precision + recall > 0.0 ? 2.0 * precision * recall / (precision + recall) : 0.0;
            if (!best || f1 > best->f1)
                best = ThresholdChoice{bin.lower, precision, recall, f1, matches};
        }
        tp -= bin.expected_matches;
        above -= static_cast<double>(bin.pairs());
    }
    return best;
}

}  // namespace velatro::engine
