#include "engine/training/comparison_vectors.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <limits>

#include "document/error.hpp"

namespace velatro::engine::training {

VectorCodec::VectorCodec(const LevelModel& model) {
    std::uint64_t stride = 1;
    for (const auto& field : model.fields()) {
        const std::uint64_t radix = field.levels().size() + 1;  // the null level too
        if (stride > std::numeric_limits<std::uint64_t>::max() / radix)
            throw velatro::Error("too many Fellegi-Sunter fields and levels to train together");
        radix_.push_back(radix);
        stride_.push_back(stride);
        stride *= radix;
    }
}

std::uint64_t VectorCodec::encode(const int* levels) const noexcept {
    std::uint64_t code = 0;
    for (std::size_t k = 0; k < radix_.size(); ++k)
        code += static_cast<std::uint64_t>(levels[k] + 1) * stride_[k];
    return code;
}

VectorTable make_table(const VectorCounts& counts, const VectorCodec& codec) {
    VectorTable table;
    table.fields = codec.fields();
    table.codes.reserve(counts.size());
    for (const auto& entry : counts) table.codes.push_back(entry.first);
    std::sort(table.codes.begin(), table.codes.end());
    table.levels.reserve(table.codes.size() * table.fields);
    for (std::uint64_t code : table.codes) {
        const std::uint64_t n = counts.at(code);
        table.counts.push_back(static_cast<double>(n));
        table.pairs += n;
        for (std::size_t k = 0; k < table.fields; ++k) table.levels.push_back(codec.level(code, k));
    }
    return table;
}

void add_counts(VectorCounts& into, const VectorCounts& from) {
    for (const auto& [code, n] : from) into[code] += n;
}

PreparedRecords::PreparedRecords(const LevelModel& model,
                                 const std::vector<NormalizedEntity>& entities, std::size_t threads)
    : model_(model), slots_(model.slots()), values_(entities.size() * model.slots()) {
    tbb::task_arena arena(threads ? static_cast<int>(threads) : tbb::task_arena::automatic);
    arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, entities.size(), 256),
                          [&](const auto& range) {
                              for (std::size_t i = range.begin(); i < range.end(); ++i)
                                  model_.prepare(entities[i], values_.data() + i * slots_);
                          });
    });
}

std::uint64_t PreparedRecords::code(std::size_t a, std::size_t b, const VectorCodec& codec,
                                    int* scratch) const {
    const PreparedValue* pa = of(a);
    const PreparedValue* pb = of(b);
    const auto& fields = model_.fields();
    for (std::size_t k = 0; k < fields.size(); ++k)
        scratch[k] = fields[k].level(pa + model_.offset(k), pb + model_.offset(k));
    return codec.encode(scratch);
}

}  // namespace velatro::engine::training
