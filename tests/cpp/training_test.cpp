// Training: EM on comparison vectors, u from random pairs, the whole training of a spec
// on records with known duplicates, and the labelled-pairs path.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "engine/compiler.hpp"
#include "engine/training/em.hpp"
#include "engine/training/learned_spec.hpp"
#include "engine/training/trainer.hpp"
#include "spec/reader.hpp"

using namespace velatro::engine;
using namespace velatro::engine::training;

namespace {

// Draws n pairs from a known model (lambda, m, u per field and level, a share of missing
// values) and counts their vectors, as blocking would hand them to EM.
VectorTable synthetic_table(double lambda, const LevelTable& m, const LevelTable& u, double missing,
                            std::size_t n, std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    auto draw = [&](const std::vector<double>& p) {
        double x = unit(rng);
        for (std::size_t l = 0; l < p.size(); ++l) {
            if (x < p[l]) return static_cast<int>(l);
            x -= p[l];
        }
        return static_cast<int>(p.size()) - 1;
    };
    VectorCounts counts;
    std::vector<std::uint64_t> stride;
    std::uint64_t s = 1;
    for (const auto& levels : m) {
        stride.push_back(s);
        s *= levels.size() + 1;
    }
    for (std::size_t i = 0; i < n; ++i) {
        const bool match = unit(rng) < lambda;
        std::uint64_t code = 0;
        for (std::size_t k = 0; k < m.size(); ++k) {
            const int level = unit(rng) < missing ? -1 : draw(match ? m[k] : u[k]);
            code += static_cast<std::uint64_t>(level + 1) * stride[k];
        }
        ++counts[code];
    }
    VectorTable table;
    table.fields = m.size();
    for (const auto& [code, c] : counts) table.codes.push_back(code);
    std::sort(table.codes.begin(), table.codes.end());
    for (std::uint64_t code : table.codes) {
        table.counts.push_back(static_cast<double>(counts[code]));
        table.pairs += counts[code];
        for (std::size_t k = 0; k < m.size(); ++k)
            table.levels.push_back(static_cast<int>((code / stride[k]) % (m[k].size() + 1)) - 1);
    }
    return table;
}

const char* kSpec = R"(
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources: {crm: {adapter: csv}}
blocking: {keys: [[city], [last_name]]}
decision:
  thresholds: {match: 0.9}
  scoring:
    strategy: fellegi_sunter
    fields:
      - {name: first_name, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.1}
      - {name: last_name, comparator: jaro_winkler, m_probability: 0.9, u_probability: 0.1}
      - {name: email, comparator: exact, m_probability: 0.9, u_probability: 0.1}
      - {name: city, comparator: exact, m_probability: 0.9, u_probability: 0.1}
)";

struct Records {
    std::vector<NormalizedEntity> entities;
    std::vector<int> person;  // by record
};

// People with one to three records each: typos in names, e-mails sometimes missing.
Records people(int count, std::uint64_t seed) {
    const char* firsts[] = {"anna", "bert",  "carla", "dieter", "emma",  "frank", "greta", "hans",
                            "ida",  "jonas", "karin", "lukas",  "maria", "nils",  "olga",  "paul"};
    const char* lasts[] = {"meyer",  "schmidt",  "schneider", "fischer", "weber", "wagner",
                           "becker", "hoffmann", "koch",      "richter", "klein", "wolf"};
    std::mt19937_64 rng(seed);
    auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    auto typo = [&](std::string s) {
        if (s.size() > 3 && pick(4) == 0) std::swap(s[1], s[2]);
        return s;
    };
    Records out;
    for (int p = 0; p < count; ++p) {
        // Two parts each, so that different people rarely share a whole name.
        const std::string first = std::string(firsts[pick(16)]) + firsts[pick(16)];
        const std::string last = std::string(lasts[pick(12)]) + lasts[pick(12)];
        const std::string city = "city" + std::to_string(pick(6));
        const std::string email = first + "." + last + std::to_string(p) + "@mail";
        const std::size_t copies = 1 + pick(3);
        for (std::size_t c = 0; c < copies; ++c) {
            NormalizedEntity e;
            const int n = static_cast<int>(out.entities.size());
            e.id.bytes[15] = static_cast<std::uint8_t>(n);
            e.id.bytes[14] = static_cast<std::uint8_t>(n >> 8);
            std::vector<FieldMap::Entry> data{
                {"first_name", typo(first)}, {"last_name", typo(last)}, {"city", city}};
            if (pick(5) != 0) data.emplace_back("email", email);
            e.data = FieldMap(std::move(data));
            out.entities.push_back(std::move(e));
            out.person.push_back(p);
        }
    }
    return out;
}

}  // namespace

TEST(ExpectationMaximisation, RecoversKnownProbabilitiesFromComparisonVectors) {
    const LevelTable m{{0.80, 0.12, 0.05, 0.03}, {0.70, 0.20, 0.10}, {0.90, 0.10}};
    const LevelTable u{{0.01, 0.04, 0.15, 0.80}, {0.05, 0.15, 0.80}, {0.02, 0.98}};
    const double lambda = 0.2;
    const VectorTable table = synthetic_table(lambda, m, u, 0.1, 400000, 7);
    // Start far from the truth: the default ladder of starting values.
    const LevelTable start{{0.50, 0.25, 0.20, 0.05}, {0.60, 0.35, 0.05}, {0.95, 0.05}};
    const EmResult em =
        expectation_maximisation(table, u, start, 0.1, {true, true, true}, EmSettings{200, 1e-9});
    EXPECT_TRUE(em.converged);
    double worst = std::fabs(em.lambda - lambda);
    for (std::size_t k = 0; k < m.size(); ++k)
        for (std::size_t l = 0; l < m[k].size(); ++l) {
            EXPECT_NEAR(em.m[k][l], m[k][l], 0.01) << "field " << k << " level " << l;
            worst = std::max(worst, std::fabs(em.m[k][l] - m[k][l]));
        }
    EXPECT_NEAR(em.lambda, lambda, 0.01);
    std::printf("EM recovery: largest |error| %.5f over m and lambda, %llu iterations\n", worst,
                static_cast<unsigned long long>(em.iterations));
    // The trace is the largest change per iteration and ends below the threshold.
    ASSERT_EQ(em.trace.size(), em.iterations);
    EXPECT_LT(em.trace.back(), 1e-9);
}

TEST(ExpectationMaximisation, AnInactiveFieldKeepsItsStartAndAddsNoEvidence) {
    const LevelTable m{{0.8, 0.2}, {0.9, 0.1}};
    const LevelTable u{{0.1, 0.9}, {0.05, 0.95}};
    const VectorTable table = synthetic_table(0.3, m, u, 0.0, 100000, 3);
    const LevelTable start{{0.5, 0.5}, {0.6, 0.4}};
    const EmResult em =
        expectation_maximisation(table, u, start, 0.1, {true, false}, EmSettings{100, 1e-8});
    EXPECT_EQ(em.m[1], start[1]);
    // One field alone still separates the two classes less sharply, but moves m.
    EXPECT_NE(em.m[0], start[0]);
}

TEST(Training, LearnsFromUnlabelledRecordsDeterministically) {
    const auto spec = velatro::spec::read_identity_spec(kSpec);
    const Records records = people(400, 11);
    TrainingOptions options = options_from(spec);
    options.max_iterations = 100;
    options.convergence_threshold = 1e-6;
    options.max_random_pairs = 50000;
    options.seed = 5;
    options.threads = 1;
    const TrainingResult one = train(spec, records.entities, options);
    options.threads = 2;
    const TrainingResult two = train(spec, records.entities, options);
    ASSERT_EQ(one.fields.size(), 4u);
    for (std::size_t k = 0; k < one.fields.size(); ++k)
        for (std::size_t l = 0; l < one.fields[k].levels.size(); ++l) {
            EXPECT_EQ(one.fields[k].levels[l].m, two.fields[k].levels[l].m);
            EXPECT_EQ(one.fields[k].levels[l].u, two.fields[k].levels[l].u);
        }
    EXPECT_EQ(one.prior, two.prior);

    EXPECT_EQ(one.method, "em");
    ASSERT_EQ(one.passes.size(), 2u);
    EXPECT_EQ(one.passes[0].fixed_fields, std::vector<std::string>{"city"});
    EXPECT_EQ(one.passes[1].fixed_fields, std::vector<std::string>{"last_name"});
    // Default ladder for a Jaro-Winkler field: exact, >= 0.92, >= 0.8, else.
    const auto& email = one.fields[2];
    EXPECT_TRUE(email.default_levels);
    ASSERT_EQ(one.fields[0].levels.size(), 4u);
    EXPECT_EQ(one.fields[0].levels[1].name, "jaro_winkler >= 0.92");
    // Duplicates share their e-mail; random pairs almost never do.
    EXPECT_GT(email.levels[0].m, 0.95);
    EXPECT_LT(email.levels[0].u, 0.01);
    EXPECT_GT(email.levels[0].weight, 6.0);
    // Every field is learned by some pass.
    for (const auto& field : one.fields) EXPECT_TRUE(field.m_estimated) << field.name;

    // The prior: true matching pairs over all record pairs.
    double matches = 0;
    for (std::size_t i = 0; i < records.person.size(); ++i)
        for (std::size_t j = i + 1; j < records.person.size(); ++j)
            matches += records.person[i] == records.person[j];
    const double n = static_cast<double>(records.entities.size());
    const double truth = matches / (n * (n - 1) / 2);
    std::printf("prior %.3g (true %.3g), threshold %.2f, expected precision %.3f recall %.3f\n",
                one.prior, truth, one.match_threshold,
                one.threshold ? one.threshold->precision : 0.0,
                one.threshold ? one.threshold->recall : 0.0);
    EXPECT_GT(one.prior, truth / 2);
    EXPECT_LT(one.prior, truth * 2);
    ASSERT_TRUE(one.threshold);
    EXPECT_GT(one.threshold->precision, 0.9);
    EXPECT_GT(one.threshold->recall, 0.9);
    EXPECT_LE(one.possible_threshold, one.match_threshold);
}

TEST(Training, LabelledPairsGiveMFromTheMatches) {
    const auto spec = velatro::spec::read_identity_spec(kSpec);
    const Records records = people(200, 13);
    TrainingOptions options = options_from(spec);
    options.max_random_pairs = 20000;
    for (std::size_t i = 0; i + 1 < records.person.size(); ++i)
        if (records.person[i] == records.person[i + 1])
            options.labelled_pairs.push_back({i, i + 1, true});
    options.labelled_pairs.push_back({0, records.entities.size() - 1, false});
    const TrainingResult result = train(spec, records.entities, options);
    EXPECT_EQ(result.method, "labelled_pairs");
    EXPECT_EQ(result.labelled_matches, options.labelled_pairs.size() - 1);
    EXPECT_TRUE(result.passes.empty());
    // The city never differs within a person: its exact level takes nearly all of m.
    EXPECT_GT(result.fields[3].levels[0].m, 0.95);

    options.labelled_pairs = {{0, records.entities.size(), true}};
    EXPECT_THROW(train(spec, records.entities, options), velatro::Error);
}

TEST(Training, NeedsFellegiSunterFieldsAndBlocking) {
    auto spec = velatro::spec::read_identity_spec(kSpec);
    const Records records = people(20, 1);
    // Records that share no block leave nothing to learn from.
    const std::vector<NormalizedEntity> lonely(records.entities.begin(),
                                               records.entities.begin() + 1);
    EXPECT_THROW(train(spec, lonely, options_from(spec)), velatro::Error);
    spec.blocking.reset();
    EXPECT_THROW(train(spec, records.entities, options_from(spec)), velatro::Error);
    spec.decision.scoring.reset();
    EXPECT_THROW(train(spec, records.entities, options_from(spec)), velatro::Error);
}

TEST(LearnedSpec, WritesTheModelIntoTheScoringSectionAndKeepsTheRest) {
    const std::string head = std::string(kSpec).substr(0, std::string(kSpec).find("decision:"));
    const std::string text = "# people\n" + head +
                             "decision:\n  thresholds: {match: 0.9}  # merge\n  scoring:\n"
                             "    strategy: fellegi_sunter\n    fields:\n"
                             "      - {name: first_name, comparator: jaro_winkler, "
                             "m_probability: 0.9, u_probability: 0.1}\n"
                             "      - name: last_name  # a comment inside is not kept\n"
                             "        comparator: jaro_winkler\n"
                             "        m_probability: 0.9\n        u_probability: 0.1\n"
                             "      - {name: email, comparator: exact, m_probability: 0.9, "
                             "u_probability: 0.1}\n"
                             "      - {name: city, comparator: exact, m_probability: 0.9, "
                             "u_probability: 0.1}\n"
                             "    training: {method: em}\n"
                             "  conflict_strategy: prefer_recent\n# the end\n";
    const auto spec = velatro::spec::read_identity_spec(text);
    TrainingOptions options = options_from(spec);
    options.max_random_pairs = 20000;
    const TrainingResult result = train(spec, people(150, 3).entities, options);
    const std::string learned = learned_spec(text, result, true);
    if (std::getenv("VELATRO_SHOW")) std::printf("%s", learned.c_str());

    // Everything outside the scoring value is unchanged.
    const std::size_t at = text.find("strategy: fellegi_sunter");
    EXPECT_EQ(learned.substr(0, at), text.substr(0, at));
    EXPECT_NE(learned.find("\n  conflict_strategy: prefer_recent\n# the end\n"), std::string::npos);
    EXPECT_EQ(learned.find("a comment inside"), std::string::npos);

    const auto relearned = velatro::spec::read_identity_spec(learned);
    const auto& scoring = *relearned.decision.scoring;
    ASSERT_TRUE(scoring.prior);
    EXPECT_NEAR(*scoring.prior, result.prior, result.prior * 1e-5);
    ASSERT_TRUE(scoring.thresholds);
    EXPECT_NEAR(scoring.thresholds->match, result.match_threshold, 1e-4);
    EXPECT_EQ(scoring.training->method, "em");
    const auto& fields = *scoring.fields;
    ASSERT_EQ(fields.size(), 4u);
    for (std::size_t k = 0; k < fields.size(); ++k) {
        ASSERT_TRUE(fields[k].levels) << k;
        ASSERT_EQ(fields[k].levels->size(), result.fields[k].levels.size());
        for (std::size_t l = 0; l < fields[k].levels->size(); ++l) {
            const auto& level = (*fields[k].levels)[l];
            EXPECT_NEAR(*level.m_probability, result.fields[k].levels[l].m, 1e-5);
            EXPECT_NEAR(*level.u_probability, result.fields[k].levels[l].u,
                        result.fields[k].levels[l].u * 1e-5);
        }
    }
    // Training the learned spec again starts from its levels and lands on the same model.
    const TrainingResult again = train(relearned, people(150, 3).entities, options);
    EXPECT_NEAR(again.fields[2].levels[0].m, result.fields[2].levels[0].m, 1e-3);

    // A scoring section written in flow style becomes a block under its key.
    const std::string flow = head +
                             "decision:\n  thresholds: {match: 0.9}\n  scoring: {strategy: "
                             "fellegi_sunter, fields: [{name: first_name, comparator: "
                             "jaro_winkler, m_probability: 0.9, u_probability: 0.1}, {name: "
                             "last_name, comparator: jaro_winkler, m_probability: 0.9, "
                             "u_probability: 0.1}, {name: email, comparator: exact, "
                             "m_probability: 0.9, u_probability: 0.1}, {name: city, comparator: "
                             "exact, m_probability: 0.9, u_probability: 0.1}]}\n";
    const std::string learned_flow = learned_spec(flow, result, false);
    EXPECT_TRUE(
        velatro::spec::read_identity_spec(learned_flow).decision.scoring->fields->at(0).levels);
    EXPECT_EQ(learned_number(0.000012345678), "0.0000123457");
}
