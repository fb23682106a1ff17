#include "engine/training/random_pairs.hpp"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

namespace velatro::engine::training {

namespace {

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

struct Pair {
    std::size_t a, b;
};

// Pair t of the sample: two distinct records, uniformly, drawn from the seed and t.
Pair random_pair(std::uint64_t seed, std::uint64_t t, std::size_t n) {
    const std::uint64_t h1 = splitmix64(seed ^ splitmix64(2 * t));
    const std::uint64_t h2 = splitmix64(seed ^ splitmix64(2 * t + 1));
    const std::size_t a = static_cast<std::size_t>(h1 % n);
    std::size_t b = static_cast<std::size_t>(h2 % (n - 1));
    if (b >= a) ++b;
    return {a, b};
}

using LevelCounts = std::vector<std::vector<std::uint64_t>>;

LevelCounts empty_counts(const VectorCodec& codec) {
    LevelCounts out(codec.fields());
    for (std::size_t k = 0; k < codec.fields(); ++k) out[k].assign(codec.levels(k), 0);
    return out;
}

}  // namespace

std::vector<double> smoothed_shares(const std::vector<std::uint64_t>& counts) {
    double total = 0.0;
    for (auto c : counts) total += static_cast<double>(c) + 0.5;
    std::vector<double> out;
    for (auto c : counts) out.push_back((static_cast<double>(c) + 0.5) / total);
    return out;
}

UEstimate estimate_u(const PreparedRecords& records, std::size_t n, const VectorCodec& codec,
                     std::uint64_t max_pairs, std::uint64_t seed, std::size_t threads) {
    UEstimate out;
    const std::uint64_t possible = n < 2 ? 0 : static_cast<std::uint64_t>(n) * (n - 1) / 2;
    const bool all = possible <= max_pairs;
    out.pairs = all ? possible : max_pairs;

    struct Local {
        LevelCounts counts;
        std::vector<int> scratch;
    };
    tbb::enumerable_thread_specific<Local> locals([&] {
        return Local{empty_counts(codec), std::vector<int>(codec.fields())};
    });
    auto count_pair = [&](Local& local, std::size_t a, std::size_t b) {
        const std::uint64_t code = records.code(a, b, codec, local.scratch.data());
        for (std::size_t k = 0; k < codec.fields(); ++k)
            if (int level = codec.level(code, k); level >= 0)
                ++local.counts[k][static_cast<std::size_t>(level)];
    };
    tbb::task_arena arena(threads ? static_cast<int>(threads) : tbb::task_arena::automatic);
    arena.execute([&] {
        if (all) {
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, n, 16), [&](const auto& rows) {
                Local& local = locals.local();
                for (std::size_t a = rows.begin(); a < rows.end(); ++a)
                    for (std::size_t b = a + 1; b < n; ++b) count_pair(local, a, b);
            });
            return;
        }
        tbb::parallel_for(tbb::blocked_range<std::uint64_t>(0, out.pairs, 4096),
                          [&](const auto& range) {
                              Local& local = locals.local();
                              for (std::uint64_t t = range.begin(); t < range.end(); ++t) {
                                  const Pair p = random_pair(seed, t, n);
                                  count_pair(local, p.a, p.b);
                              }
                          });
    });
    out.counts = empty_counts(codec);
    for (const Local& local : locals)
        for (std::size_t k = 0; k < codec.fields(); ++k)
            for (std::size_t l = 0; l < codec.levels(k); ++l)
                out.counts[k][l] += local.counts[k][l];
    for (const auto& field_counts : out.counts) out.u.push_back(smoothed_shares(field_counts));
    return out;
}

}  // namespace velatro::engine::training
