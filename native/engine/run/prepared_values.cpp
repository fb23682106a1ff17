#include "engine/run/prepared_values.hpp"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>

namespace velatro::engine {

PreparedValues prepare_values(const RunContext& run, const BlockIndex& index) {
    PreparedValues out;
    out.rules = run.engine.prepared_slots();
    out.slot.assign(run.entities.size(), PreparedValues::kUnprepared);
    // Every record with a membership is in some pairing block.
    std::vector<std::uint32_t> prepared;
    for (std::size_t e = 0; e < run.entities.size(); ++e) {
        if (index.membership_begin[e + 1] == index.membership_begin[e]) continue;
        out.slot[e] = static_cast<std::uint32_t>(prepared.size());
        prepared.push_back(static_cast<std::uint32_t>(e));
    }
    out.values.resize(prepared.size() * out.rules);
    run.arena.execute([&] {
        tbb::parallel_for(tbb::blocked_range<std::size_t>(0, prepared.size(), 64),
                          [&](const auto& range) {
                              run.check_cancel();
                              for (std::size_t k = range.begin(); k < range.end(); ++k)
                                  run.engine.prepare(run.entities[prepared[k]],
                                                     out.values.data() + k * out.rules);
                          });
    });
    return out;
}

}  // namespace velatro::engine
