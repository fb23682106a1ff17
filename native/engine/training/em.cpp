#include "engine/training/em.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <cmath>

namespace velatro::engine::training {

namespace {

// m of 0 would make a level impossible for matches for good; a tiny floor keeps EM able
// to move it back.
constexpr double kFloor = 1e-10;
constexpr std::size_t kGrain = 512;
constexpr double kPseudoCount = 0.5;

// ln(m / u) of every level of every active field.
LevelTable log_ratios(const LevelTable& m, const LevelTable& u, const std::vector<bool>& active) {
    LevelTable out(m.size());
    for (std::size_t k = 0; k < m.size(); ++k) {
        if (!active[k]) continue;
        for (std::size_t l = 0; l < m[k].size(); ++l)
            out[k].push_back(std::log(std::max(m[k][l], kFloor) / std::max(u[k][l], kFloor)));
    }
    return out;
}

double posterior(const VectorTable& table, std::size_t v, const LevelTable& ratios, double log_odds,
                 const std::vector<bool>& active) {
    double z = log_odds;
    for (std::size_t k = 0; k < table.fields; ++k) {
        const int level = table.level(v, k);
        if (active[k] && level >= 0) z += ratios[k][static_cast<std::size_t>(level)];
    }
    return 1.0 / (1.0 + std::exp(-z));
}

// Expected match counts: per level of every field (flattened), then the total.
struct Expected {
    std::vector<double> sums;
};

struct Layout {
    std::vector<std::size_t> offset;  // of field k's levels in Expected::sums
    std::size_t total = 0;
};

Layout layout_of(const LevelTable& m) {
    Layout out;
    for (const auto& levels : m) {
        out.offset.push_back(out.total);
        out.total += levels.size();
    }
    return out;
}

Expected expectation(const VectorTable& table, const LevelTable& ratios, double lambda,
                     const std::vector<bool>& active, const Layout& layout) {
    const double log_odds = std::log(lambda / (1.0 - lambda));
    return tbb::parallel_deterministic_reduce(
        tbb::blocked_range<std::size_t>(0, table.size(), kGrain),
        Expected{std::vector<double>(layout.total + 1, 0.0)},
        [&](const tbb::blocked_range<std::size_t>& range, Expected acc) {
            for (std::size_t v = range.begin(); v < range.end(); ++v) {
                const double p = table.counts[v] * posterior(table, v, ratios, log_odds, active);
                acc.sums[layout.total] += p;
                for (std::size_t k = 0; k < table.fields; ++k) {
                    const int level = table.level(v, k);
                    if (active[k] && level >= 0)
                        acc.sums[layout.offset[k] + static_cast<std::size_t>(level)] += p;
                }
            }
            return acc;
        },
        [](Expected x, const Expected& y) {
            for (std::size_t i = 0; i < x.sums.size(); ++i) x.sums[i] += y.sums[i];
            return x;
        });
}

// The new m of each active field from the expected counts; returns the largest change.
double maximise(const Expected& e, const Layout& layout, const std::vector<bool>& active,
                LevelTable& m) {
    double change = 0.0;
    for (std::size_t k = 0; k < m.size(); ++k) {
        if (!active[k]) continue;
        double non_null = 0.0;
        for (std::size_t l = 0; l < m[k].size(); ++l) non_null += e.sums[layout.offset[k] + l];
        if (!(non_null > 0.0)) continue;  // no match ever had a value here: nothing to learn
        // Half an expected match more in every level, as for u: a level no match reached
        // gets a small m rather than one that makes a single disagreement decisive.
        const double total = non_null + kPseudoCount * static_cast<double>(m[k].size());
        for (std::size_t l = 0; l < m[k].size(); ++l) {
            const double next = (e.sums[layout.offset[k] + l] + kPseudoCount) / total;
            change = std::max(change, std::fabs(next - m[k][l]));
            m[k][l] = next;
        }
    }
    return change;
}

}  // namespace

double match_probability(const VectorTable& table, std::size_t v, const LevelTable& m,
                         const LevelTable& u, double lambda, const std::vector<bool>& active) {
    return posterior(table, v, log_ratios(m, u, active), std::log(lambda / (1.0 - lambda)), active);
}

EmResult expectation_maximisation(const VectorTable& table, const LevelTable& u, LevelTable m,
                                  double lambda, const std::vector<bool>& active,
                                  const EmSettings& settings) {
    EmResult out;
    const Layout layout = layout_of(m);
    const double pairs = static_cast<double>(table.pairs);
    while (out.iterations < settings.max_iterations && pairs > 0.0) {
        const Expected e = expectation(table, log_ratios(m, u, active), lambda, active, layout);
        double change = maximise(e, layout, active, m);
        // Lambda stays strictly inside (0, 1) so that its log odds stay finite.
        const double next = std::clamp(e.sums[layout.total] / pairs, 1e-12, 1.0 - 1e-12);
        change = std::max(change, std::fabs(next - lambda));
        lambda = next;
        ++out.iterations;
        out.trace.push_back(change);
        if (change < settings.convergence_threshold) {
            out.converged = true;
            break;
        }
    }
    out.m = std::move(m);
    out.lambda = lambda;
    return out;
}

}  // namespace velatro::engine::training
