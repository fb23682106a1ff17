// Cost of one comparison for every measure and rule kind, from raw text and from values
// prepared once per record.
#include <benchmark/benchmark.h>

#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/match/bigram_cosine.hpp"
#include "engine/match/double_metaphone.hpp"
#include "engine/match/float_syntax.hpp"
#include "engine/match/haversine.hpp"
#include "engine/match/jaro_winkler.hpp"
#include "engine/match/levenshtein.hpp"
#include "engine/match/match_rule.hpp"
#include "engine/match/rule_kinds.hpp"
#include "engine/match/soundex.hpp"

namespace velatro::engine {
namespace {

struct Person {
    const char *name, *email, *address, *phone, *city, *age, *location;
};

// Near-duplicate pairs of the kind a block holds.
const Person kPeople[] = {
    {"Martha Jones", "martha.jones@example.com", "12 Baker Street, London", "+442079460958",
     "London", "34", "51.5237,-0.1585"},
    {"Marhta Jones", "Martha.Jones@example.com ", "12 Baker St, London", "+44 20 7946 0958",
     "Londen", "35", "51.5240,-0.1590"},
    {"Jonathan Smith", "jon.smith@gmail.com", "1600 Amphitheatre Pkwy, Mountain View",
     "(650) 253-0000", "Mountain View", "51", "37.4220,-122.0841"},
    {"Jon Smyth", "jonsmith@gmail.com", "1600 Amphitheatre Parkway, Mountain View", "6502530000",
     "Mountain Vw", "52", "37.4221,-122.0840"},
    {"Ren\xc3\xa9\x65 Dubois", "renee.dubois@example.fr", "5 rue de la Paix, Paris",
     "+33 1 42 68 53 00", "Paris", "29", "48.8686,2.3308"},
    {"Renee Dubois", "renee.dubois@example.fr", "5 Rue de la Paix, Paris", "+33142685300", "Paris",
     "29", "48.8687,2.3309"},
};

NormalizedEntity make_entity(const Person& p) {
    NormalizedEntity e;
    e.data = FieldMap({{"name", p.name},
                       {"email", p.email},
                       {"address", p.address},
                       {"phone", p.phone},
                       {"city", p.city},
                       {"age", p.age},
                       {"location", p.location}});
    return e;
}

const std::vector<NormalizedEntity>& entities() {
    static const std::vector<NormalizedEntity> list = [] {
        std::vector<NormalizedEntity> out;
        for (const auto& p : kPeople) out.push_back(make_entity(p));
        return out;
    }();
    return list;
}

// Pair i compares record i with record i ^ 1 and its neighbours, cycling.
template <class F>
void pairs(benchmark::State& state, F&& f) {
    const std::size_t n = std::size(kPeople);
    std::size_t i = 0;
    for (auto _ : state) {
        f(i % n, (i + 1 + i / n) % n);
        ++i;
    }
    state.SetItemsProcessed(state.iterations());
}

void BM_JaroWinklerText(benchmark::State& state) {
    pairs(state, [](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(jaro_winkler(kPeople[i].name, kPeople[j].name));
    });
}
BENCHMARK(BM_JaroWinklerText);

void BM_JaroWinklerPrepared(benchmark::State& state) {
    std::vector<CharText> texts;
    for (const auto& p : kPeople) texts.emplace_back(p.name);
    pairs(state, [&](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(jaro_winkler(texts[i], texts[j]));
    });
}
BENCHMARK(BM_JaroWinklerPrepared);

void BM_LevenshteinText(benchmark::State& state) {
    pairs(state, [](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(normalized_levenshtein(kPeople[i].address, kPeople[j].address));
    });
}
BENCHMARK(BM_LevenshteinText);

void BM_LevenshteinPrepared(benchmark::State& state) {
    std::vector<CharText> texts;
    for (const auto& p : kPeople) texts.emplace_back(p.address);
    pairs(state, [&](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(normalized_levenshtein(texts[i], texts[j]));
    });
}
BENCHMARK(BM_LevenshteinPrepared);

// Long values take the multi-word paths.
void BM_LongValues(benchmark::State& state) {
    const std::size_t len = static_cast<std::size_t>(state.range(0));
    std::mt19937 rng(1);
    std::string a, b;
    for (std::size_t k = 0; k < len; ++k) a += static_cast<char>('a' + rng() % 26);
    b = a;
    for (std::size_t k = 0; k < len; k += 10) b[k] = static_cast<char>('a' + rng() % 26);
    const CharText ta(a), tb(b);
    for (auto _ : state) {
        benchmark::DoNotOptimize(normalized_levenshtein(ta, tb));
        benchmark::DoNotOptimize(jaro_winkler(ta, tb));
    }
}
BENCHMARK(BM_LongValues)->Arg(200)->Arg(10'000);

void BM_Soundex(benchmark::State& state) {
    pairs(state,
          [](std::size_t i, std::size_t) { benchmark::DoNotOptimize(soundex(kPeople[i].name)); });
}
BENCHMARK(BM_Soundex);

void BM_DoubleMetaphone(benchmark::State& state) {
    pairs(state, [](std::size_t i, std::size_t) {
        benchmark::DoNotOptimize(double_metaphone(kPeople[i].name));
    });
}
BENCHMARK(BM_DoubleMetaphone);

void BM_BigramCosineText(benchmark::State& state) {
    pairs(state, [](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(bigram_cosine(kPeople[i].address, kPeople[j].address));
    });
}
BENCHMARK(BM_BigramCosineText);

void BM_BigramCosinePrepared(benchmark::State& state) {
    std::vector<BigramProfile> profiles;
    for (const auto& p : kPeople) profiles.emplace_back(std::string_view(p.address));
    pairs(state, [&](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(bigram_cosine(profiles[i], profiles[j]));
    });
}
BENCHMARK(BM_BigramCosinePrepared);

void BM_HaversineText(benchmark::State& state) {
    pairs(state, [](std::size_t i, std::size_t j) {
        const auto a = parse_latlon(kPeople[i].location), b = parse_latlon(kPeople[j].location);
        benchmark::DoNotOptimize(haversine_km(*a, *b));
    });
}
BENCHMARK(BM_HaversineText);

void BM_HaversinePrepared(benchmark::State& state) {
    std::vector<LatLon> points;
    for (const auto& p : kPeople) points.push_back(*parse_latlon(p.location));
    pairs(state, [&](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(haversine_km(points[i], points[j]));
    });
}
BENCHMARK(BM_HaversinePrepared);

void BM_ParseFloat(benchmark::State& state) {
    pairs(state, [](std::size_t i, std::size_t) {
        benchmark::DoNotOptimize(parse_float(kPeople[i].age));
    });
}
BENCHMARK(BM_ParseFloat);

// ---------------------------------------------------------------- rules

std::unique_ptr<MatchRule> rule_of_kind(int kind) {
    const std::optional<std::string> none;
    switch (kind) {
        case 0:
            return std::make_unique<ExactMatch>("r", "email", std::string("email"), 1.0, false,
                                                false);
        case 1:
            return std::make_unique<ExactMatch>("r", "city", none, 1.0, true, true);
        case 2:
            return std::make_unique<RangeMatch>("r", "age", none, 2.0, 1.0);
        case 3:
            return std::make_unique<FuzzyStringMatch>("r", "name", none, 0.85, 1.0);
        case 4:
            return std::make_unique<FuzzyStringMatch>("r", "name", std::string("name"), 0.85, 1.0);
        case 5:
            return std::make_unique<LevenshteinMatch>("r", "address", none, 0.8, 1.0);
        case 6:
            return std::make_unique<SoundexMatch>("r", "name", 1.0, 1.0);
        case 7:
            return std::make_unique<MetaphoneMatch>("r", "name", 0.5, 1.0);
        case 8:
            return std::make_unique<CosineMatch>("r", "address", 0.7, 1.0);
        case 9:
            return std::make_unique<HaversineMatch>("r", "location", 1.0, 1.0);
        case 10:
            return std::make_unique<ExactMatch>("r", "phone", std::string("phone"), 1.0, false,
                                                false);
        default:
            return std::make_unique<MlMatch>("r", "m", std::vector<std::string>{}, 0.5, 1.0);
    }
}

const char* const kKindLabels[] = {
    "exact_email", "exact_flags", "range",     "jaro_winkler", "jaro_winkler_name_norm",
    "levenshtein", "soundex",     "metaphone", "cosine",       "haversine",
    "exact_phone", "ml"};

// From scratch: what a pair costs when nothing is kept between pairs.
void BM_RuleEvaluate(benchmark::State& state) {
    const auto rule = rule_of_kind(static_cast<int>(state.range(0)));
    state.SetLabel(kKindLabels[state.range(0)]);
    pairs(state, [&](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(rule->evaluate(entities()[i], entities()[j]));
    });
}
BENCHMARK(BM_RuleEvaluate)->DenseRange(0, 11);

// Prepared once per record: the per-pair decision only.
void BM_RuleComparePrepared(benchmark::State& state) {
    const auto rule = rule_of_kind(static_cast<int>(state.range(0)));
    state.SetLabel(kKindLabels[state.range(0)]);
    std::vector<PreparedValue> prepared;
    for (const auto& e : entities()) prepared.push_back(rule->prepare(e));
    pairs(state, [&](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(rule->compare(prepared[i], prepared[j]));
    });
}
BENCHMARK(BM_RuleComparePrepared)->DenseRange(0, 11);

// Prepared, with the full result (explanation text) built for every pair.
void BM_RuleResultPrepared(benchmark::State& state) {
    const auto rule = rule_of_kind(static_cast<int>(state.range(0)));
    state.SetLabel(kKindLabels[state.range(0)]);
    std::vector<PreparedValue> prepared;
    for (const auto& e : entities()) prepared.push_back(rule->prepare(e));
    pairs(state, [&](std::size_t i, std::size_t j) {
        benchmark::DoNotOptimize(rule->result(rule->compare(prepared[i], prepared[j])));
    });
}
BENCHMARK(BM_RuleResultPrepared)->DenseRange(0, 11);

// A typical four-rule pair: exact e-mail, Jaro-Winkler on names, Levenshtein on the
// address, exact phone; one item is one pair.
void BM_FourRulePair(benchmark::State& state) {
    std::vector<std::unique_ptr<MatchRule>> rules;
    for (int kind : {0, 3, 5, 10}) rules.push_back(rule_of_kind(kind));
    const bool prepared_route = state.range(0) == 1;
    state.SetLabel(prepared_route ? "prepared compare" : "evaluate from scratch");
    std::vector<std::vector<PreparedValue>> prepared(rules.size());
    for (std::size_t r = 0; r < rules.size(); ++r)
        for (const auto& e : entities()) prepared[r].push_back(rules[r]->prepare(e));
    pairs(state, [&](std::size_t i, std::size_t j) {
        double score = 0.0;
        for (std::size_t r = 0; r < rules.size(); ++r) {
            if (prepared_route)
                score += rules[r]->compare(prepared[r][i], prepared[r][j]).score;
            else
                score += rules[r]->evaluate(entities()[i], entities()[j]).score;
        }
        benchmark::DoNotOptimize(score);
    });
}
BENCHMARK(BM_FourRulePair)->Arg(0)->Arg(1);

}  // namespace
}  // namespace velatro::engine
