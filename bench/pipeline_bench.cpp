// The pair stages of a run (blocking, preparation, pair evaluation, ordering) on
// synthetic people whose records share several blocks, with the run's own profile as
// counters: distinct pairs judged, the copies the blocks form, seconds of the pair loop.
// The "hooks" variant follows the run with a cancel flag and progress counters, which
// must cost nothing measurable.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "engine/compiler.hpp"
#include "engine/run/pipeline.hpp"
#include "spec/reader.hpp"

namespace {

using namespace velatro::engine;

const char* kSpec = R"(
api_version: velatro/v1
identity_version: "bench"
entity: {name: person}
sources: {crm: {adapter: csv}}
blocking: {keys: [[last_name], [email], [postcode, first_name]]}
rules:
  - {name: email, type: exact, field: email, weight: 1.0}
  - {name: first_name, type: similarity, field: first_name, algorithm: jaro_winkler, threshold: 0.9, weight: 0.6}
  - {name: last_name, type: similarity, field: last_name, algorithm: levenshtein, threshold: 0.8, weight: 0.8}
decision: {thresholds: {match: 0.85, review: 0.6}}
)";

// About three records per person, with a typo now and then, so that most pairs of one
// person share two or three blocks and namesakes share the surname block.
std::vector<NormalizedEntity> people(int records) {
    std::mt19937 rng(11);
    const char* first[] = {"oliver", "amelia", "jack", "isla", "harry", "ava", "george", "mia"};
    std::vector<NormalizedEntity> out;
    for (int i = 0; i < records; ++i) {
        const int person = i / 3;
        // Appended rather than "text" + number, which trips a false -Wrestrict in g++ 12.
        std::string last = "surname";
        last += std::to_string(person % (records / 20 + 1));
        std::string postcode = "P";
        postcode += std::to_string(person % 997);
        std::string given = first[person % 8];
        if (rng() % 6 == 0) given.back() = 'x';
        NormalizedEntity e;
        e.id.bytes[12] = static_cast<std::uint8_t>(i >> 24);
        e.id.bytes[13] = static_cast<std::uint8_t>(i >> 16);
        e.id.bytes[14] = static_cast<std::uint8_t>(i >> 8);
        e.id.bytes[15] = static_cast<std::uint8_t>(i);
        e.data = FieldMap({{"first_name", given},
                           {"last_name", last},
                           {"email", given + "." + std::to_string(person) + "@example.com"},
                           {"postcode", postcode}});
        out.push_back(std::move(e));
    }
    return out;
}

void run(benchmark::State& state, bool hooks) {
    const auto plan = SpecCompiler::compile(velatro::spec::read_identity_spec(kSpec));
    const auto engine = ReconciliationEngine::from_plan(plan);
    const auto entities = people(static_cast<int>(state.range(0)));
    const OverrideResolver overrides;
    std::atomic<bool> cancel{false};
    RunProgress progress;
    RunOptions options;
    if (hooks) {
        options.cancel = &cancel;
        options.progress = &progress;
    }
    tbb::task_arena arena;
    const RunContext context{engine, entities, overrides, options, arena};
    RunProfile profile;
    double evaluate = 0.0;
    for (auto _ : state) {
        profile = {};
        benchmark::DoNotOptimize(run_pairs(context, &profile));
        evaluate += profile.seconds("evaluate");
    }
    state.counters["judged"] = static_cast<double>(profile.pairs_judged);
    state.counters["copies"] = static_cast<double>(profile.pair_copies);
    state.counters["kept"] = static_cast<double>(profile.kept_pairs);
    state.counters["evaluate_s"] = evaluate / static_cast<double>(state.iterations());
    state.counters["judged/s"] =
        benchmark::Counter(static_cast<double>(profile.pairs_judged) *
                           static_cast<double>(state.iterations()) / evaluate);
}

void BM_PairStages(benchmark::State& state) {
    run(state, false);
}
void BM_PairStagesWithHooks(benchmark::State& state) {
    run(state, true);
}

}  // namespace

BENCHMARK(BM_PairStages)->Arg(30000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PairStagesWithHooks)->Arg(30000)->Unit(benchmark::kMillisecond);
