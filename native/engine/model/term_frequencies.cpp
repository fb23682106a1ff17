#include "engine/model/term_frequencies.hpp"

#include <tbb/blocked_range.h>
#include <tbb/enumerable_thread_specific.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include "engine/model/level_model.hpp"

namespace velatro::engine {

TermFrequencies TermFrequencies::count(const LevelModel& model,
                                       const std::vector<NormalizedEntity>& entities,
                                       std::size_t threads) {
    TermFrequencies out;
    const auto& fields = model.fields();
    out.tables_.resize(fields.size());
    tbb::task_arena arena(threads ? static_cast<int>(threads) : tbb::task_arena::automatic);
    for (std::size_t k = 0; k < fields.size(); ++k) {
        if (!model.plan_field(k).term_frequency) continue;
        // Per-thread tables, summed afterwards: counts do not depend on the split.
        tbb::enumerable_thread_specific<Table> partial;
        arena.execute([&] {
            tbb::parallel_for(tbb::blocked_range<std::size_t>(0, entities.size(), 1024),
                              [&](const auto& range) {
                                  Table& t = partial.local();
                                  std::string value;
                                  for (std::size_t i = range.begin(); i < range.end(); ++i) {
                                      if (!fields[k].normalised(entities[i], value)) continue;
                                      ++t.counts[value];
                                      ++t.total;
                                  }
                              });
        });
        Table& table = out.tables_[k].emplace();
        for (Table& t : partial) {
            for (auto& [value, n] : t.counts) table.counts[value] += n;
            table.total += t.total;
        }
    }
    return out;
}

std::uint64_t TermFrequencies::occurrences(std::size_t k, std::string_view value) const {
    if (k >= tables_.size() || !tables_[k]) return 0;
    auto it = tables_[k]->counts.find(value);
    return it == tables_[k]->counts.end() ? 0 : it->second;
}

std::optional<double> TermFrequencies::frequency(std::size_t k, std::string_view value) const {
    const std::uint64_t n = occurrences(k, value);
    if (n == 0) return std::nullopt;
    return static_cast<double>(n) / static_cast<double>(tables_[k]->total);
}

}  // namespace velatro::engine
