// Cost of recording one pair's rule results, the call every evaluated pair makes.
#include <benchmark/benchmark.h>

#include <random>
#include <vector>

#include "engine/telemetry.hpp"

namespace ve = velatro::engine;

namespace {

// Five rules per pair; `distinct` bounds how many different scores the similarity rules
// produce (exact rules score 0 or 1).
void BM_RecordPair(benchmark::State& state) {
    const auto distinct = static_cast<std::uint64_t>(state.range(0));
    std::mt19937_64 rng(1);
    std::vector<std::vector<ve::RuleResult>> pairs(4096);
    for (auto& results : pairs)
        for (const char* name : {"email", "first_name", "last_name", "phone", "zip"}) {
            ve::RuleResult r;
            r.rule_name = name;
            r.score = static_cast<double>(rng() % distinct) / static_cast<double>(distinct);
            r.matched = r.score > 0.5;
            results.push_back(r);
        }
    ve::TelemetryCollector collector;
    std::size_t i = 0;
    for (auto _ : state) {
        collector.record_pair(pairs[i++ & 4095], ve::Decision::NoMerge);
    }
    state.SetItemsProcessed(state.iterations());
    benchmark::DoNotOptimize(std::move(collector).into_telemetry());
}
BENCHMARK(BM_RecordPair)->Arg(2)->Arg(1000)->Arg(1000000);

}  // namespace
