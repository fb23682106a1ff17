#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/blocking/lsh_blocking.hpp"
#include "engine/blocking/minhash.hpp"
#include "engine/blocking/plan_blocking.hpp"
#include "engine/blocking/seahash.hpp"

namespace ve = velatro::engine;
namespace vp = velatro::plan;
using T = vp::BlockingTransformation;

namespace {

ve::NormalizedEntity person() {
    ve::NormalizedEntity e;
    e.data = ve::FieldMap({{"first_name", "Jonathan"},
                           {"last_name", "Smithers"},
                           {"email", "Jon.Smithers+news@example.com"},
                           {"phone", "(555) 123-4567"},
                           {"zip", "90210"}});
    return e;
}

void BM_SeaHash(benchmark::State& state) {
    const std::string text(static_cast<std::size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        benchmark::DoNotOptimize(text.data());
        benchmark::DoNotOptimize(ve::seahash(text));
    }
}
BENCHMARK(BM_SeaHash)->Arg(3)->Arg(100);

void BM_LshConstruct(benchmark::State& state) {
    for (auto _ : state) {
        ve::LshBlocking lsh({"first_name", "last_name"}, 20, 5);
        benchmark::DoNotOptimize(lsh.multipliers().data());
    }
}
BENCHMARK(BM_LshConstruct);

// 100 functions over the 46 shingles of a three-field text.
void BM_MinHashSignature(benchmark::State& state) {
    const auto family = ve::MinHashFamily::generate(100, 42);
    std::vector<std::uint64_t> hashes;
    ve::append_shingle_hashes("Jonathan Smithers Jon.Smithers+news@example.com ", hashes);
    std::vector<std::uint64_t> signature(100);
    for (auto _ : state) {
        ve::minhash_signature(family, hashes, signature);
        benchmark::DoNotOptimize(signature.data());
    }
}
BENCHMARK(BM_MinHashSignature);

void BM_LshKeys(benchmark::State& state) {
    const ve::LshBlocking lsh({"first_name", "last_name", "email"}, 20, 5);
    const auto e = person();
    std::vector<std::string> keys;
    for (auto _ : state) {
        keys.clear();
        lsh.append_block_keys(e, keys);
        benchmark::DoNotOptimize(keys.data());
    }
}
BENCHMARK(BM_LshKeys);

void BM_PlanKeys(benchmark::State& state, std::vector<vp::BlockingKey> plan_keys) {
    const ve::PlanBlocking blocking(std::move(plan_keys));
    const auto e = person();
    std::vector<std::string> keys;
    for (auto _ : state) {
        keys.clear();
        blocking.append_block_keys(e, keys);
        benchmark::DoNotOptimize(keys.data());
    }
}

// What a spec with the usual blocking keys compiles to: each field name picks its
// transformation, which then applies to every field of that key.
BENCHMARK_CAPTURE(BM_PlanKeys, compiled,
                  std::vector<vp::BlockingKey>{{{"email"}, {T::NormalizeEmail}},
                                               {{"phone"}, {T::NormalizePhone}},
                                               {{"last_name", "zip"}, {T::NormalizeName}}});
BENCHMARK_CAPTURE(BM_PlanKeys, text_only,
                  std::vector<vp::BlockingKey>{{{"last_name", "zip"}, {T::FirstInitial}},
                                               {{"phone"}, {T::AreaCode}},
                                               {{"phone"}, {T::Last4}}});
BENCHMARK_CAPTURE(BM_PlanKeys, phonetic,
                  std::vector<vp::BlockingKey>{{{"last_name"}, {T::Soundex}},
                                               {{"last_name"}, {T::DoubleMetaphone}},
                                               {{"first_name"}, {T::Lowercase}}});
// Trigrams on three fields: the cross product runs into the cap of 100 keys.
BENCHMARK_CAPTURE(BM_PlanKeys, trigram_cap,
                  std::vector<vp::BlockingKey>{
                      {{"first_name", "last_name", "zip"}, {T::Trigrams}}});

}  // namespace
