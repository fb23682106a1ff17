// Cost of reading the entities JSON text, per entity, and of a data field lookup.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "engine/entity.hpp"

namespace {

using namespace velatro::engine;

std::string entities_text(int count) {
    std::string out = "[";
    char id[40];
    for (int i = 0; i < count; ++i) {
        std::snprintf(id, sizeof id, "%08x-0000-4000-8000-%012x", i, i * 7);
        if (i) out += ",\n";
        out += R"({"id":")" + std::string(id) +
               R"(","tenant_id":"6ba7b810-9dad-11d1-80b4-00c04fd430c8","external_id":"crm-)" +
               std::to_string(i) +
               R"(","entity_type":"person","data":{"first_name":"Jean","last_name":"Dupont",)"
               R"("email":"jean.dupont@example.com","phone":"(555) 123-4567","city":"Lyon",)"
               R"("zip":"69001"},"source_name":"crm","valid_from":null,)"
               R"("last_updated":"2024-01-02T03:04:05.123Z"})";
    }
    return out + "]";
}

void read(benchmark::State& state) {
    const std::string text = entities_text(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto list = read_entities(text);
        benchmark::DoNotOptimize(list);
    }
    state.SetItemsProcessed(state.iterations() * state.range(0));
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(text.size()));
}

void field_lookup(benchmark::State& state) {
    const auto list = read_entities(entities_text(1));
    const auto& e = list.front();
    for (auto _ : state) {
        benchmark::DoNotOptimize(e.field("email"));
        benchmark::DoNotOptimize(e.field("zip"));
        benchmark::DoNotOptimize(e.field("missing"));
    }
    state.SetItemsProcessed(state.iterations() * 3);
}

}  // namespace

BENCHMARK(read)->Arg(1000)->Arg(10000);
BENCHMARK(field_lookup);
