// The run's stages: judging each distinct pair once against judging every copy the
// blocks form, the sink's view of kept pairs, cancellation, progress and the profile.
#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <bit>
#include <map>
#include <random>
#include <string>
#include <thread>

#include "document/json_writer.hpp"
#include "engine/compiler.hpp"
#include "engine/run/collecting_sink.hpp"
#include "engine/temporal.hpp"
#include "spec/reader.hpp"

using namespace velatro::engine;
namespace plan = velatro::plan;

namespace {

plan::IdentityPlan compile(const std::string& body) {
    return SpecCompiler::compile(velatro::spec::read_identity_spec(R"(
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources: {crm: {adapter: csv}}
)" + body));
}

Uuid id(int n) {
    Uuid u;
    u.bytes[15] = static_cast<std::uint8_t>(n);
    u.bytes[14] = static_cast<std::uint8_t>(n >> 8);
    return u;
}

// Keys overlap ([a] and [b] draw from one alphabet, so a record often emits one key
// twice), records share several blocks, some share an id, an exclusion and a reference
// identifier decide pairs before the rules, and ended records are never paired.
const char* kOverlapping = R"(
blocking: {strategy: %s, keys: [[a], [b], [a, c], [c]]}
reference_identifiers: [{name: tax, type: external, field: tax}]
rules:
  - {name: email, type: exact, field: email, weight: 1.0}
  - {name: name, type: similarity, field: name, algorithm: jaro_winkler, threshold: 0.9, weight: 0.6}
  - {name: name, type: similarity, field: c, algorithm: levenshtein, threshold: 0.5, weight: 0.2}
exclusions: [{type: field_value, field: email, operator: eq, value: e0}]
decision: {thresholds: {match: 0.75, review: 0.45}}
)";

std::string spec(const char* strategy) {
    std::string out(kOverlapping);
    out.replace(out.find("%s"), 2, strategy);
    return out;
}

std::vector<NormalizedEntity> records(unsigned seed, int count) {
    std::mt19937 rng(seed);
    const char* names[] = {"anna", "anne", "ann", "hannah", "bob", "rob", "robert", "bobby"};
    std::vector<NormalizedEntity> out;
    for (int i = 0; i < count; ++i) {
        NormalizedEntity e;
        // Every ninth record takes the id of an earlier one.
        e.id = id(i % 9 == 8 ? static_cast<int>(rng() % i) : i);
        e.tenant_id = id(1000);
        e.external_id = "ext-" + std::to_string(i);
        e.source_name = "crm";
        std::vector<FieldMap::Entry> data{{"a", std::string(1, 'p' + rng() % 4)},
                                          {"b", std::string(1, 'p' + rng() % 4)},
                                          {"email", "e" + std::to_string(rng() % 12)},
                                          {"name", names[rng() % 8]}};
        if (rng() % 3) data.emplace_back("c", std::string(1, 'x' + rng() % 3));
        if (rng() % 40 == 0) data.emplace_back("tax", "T" + std::to_string(rng() % 2));
        e.data = FieldMap(std::move(data));
        e.last_updated = UtcDateTime::from_civil(2024, 1, 1 + rng() % 28, 0, 0, 0);
        if (rng() % 25 == 0) e.valid_to = UtcDateTime::from_civil(2020, 1, 1, 0, 0, 0);
        out.push_back(std::move(e));
    }
    return out;
}

struct Stages {
    tbb::task_arena arena;
    RunOptions options;
    OverrideResolver overrides;
    RunContext run;
    IdIndex ids;
    BlockIndex index;

    Stages(const ReconciliationEngine& engine, const std::vector<NormalizedEntity>& entities,
           std::size_t threads = 0)
        : arena(threads ? static_cast<int>(threads) : tbb::task_arena::automatic),
          options{threads},
          run{engine, entities, overrides, options, arena},
          ids(build_id_index(entities)),
          index(build_block_index(run, ids)) {}
};

// Everything a kept pair carries, floats as bit patterns.
std::string pair_text(const KeptPair& p, const RuleOutcome* outcomes, std::size_t rules) {
    std::string out = std::to_string(p.a) + "," + std::to_string(p.b) + " " + std::string(p.key);
    out += " d" + std::to_string(static_cast<int>(p.verdict.decision)) + " e" +
           std::to_string(static_cast<int>(p.verdict.early)) + " c" +
           std::to_string(std::bit_cast<std::uint64_t>(p.verdict.confidence)) + " f" +
           std::to_string(std::bit_cast<std::uint64_t>(p.factor));
    if (p.verdict.posterior)
        out += " p" + std::to_string(std::bit_cast<std::uint64_t>(*p.verdict.posterior));
    if (p.verdict.early == ReconciliationEngine::Early::None)
        for (std::size_t r = 0; r < rules; ++r)
            out += " " +
                   std::to_string(std::bit_cast<std::uint64_t>(outcomes[p.outcomes + r].score)) +
                   (outcomes[p.outcomes + r].matched ? "m" : "");
    return out;
}

struct Judged {
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::string> kept;
    std::string telemetry;
};

// The straightforward run: every pair of entries of every block is judged, the kept
// verdict of each pair of records is the one of its smallest key.
Judged judge_every_copy(const Stages& s) {
    const ReconciliationEngine& engine = s.run.engine;
    const std::size_t n_rules = engine.rules().size();
    std::vector<std::vector<PreparedValue>> prepared(s.run.entities.size());
    for (std::size_t i = 0; i < prepared.size(); ++i) {
        prepared[i].resize(n_rules);
        engine.prepare(s.run.entities[i], prepared[i].data());
    }
    TelemetryCollector telemetry;
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::pair<std::string_view, std::string>>
        kept;
    std::vector<RuleOutcome> outcomes(n_rules);
    for (const Block& block : s.index.blocks) {
        for (std::size_t i = block.begin; i < block.end; ++i) {
            for (std::size_t j = i + 1; j < block.end; ++j) {
                const std::uint32_t a = s.index.entries[i].entity, b = s.index.entries[j].entity;
                const auto& x = s.run.entities[a];
                const auto& y = s.run.entities[b];
                const TemporalResult t = engine.temporal_matcher().evaluate(x, y);
                if (t.outcome == TemporalOutcome::Invalid && t.factor == 0.0) continue;
                const auto v = engine.judge(x, y, prepared[a].data(), prepared[b].data(), {},
                                            t.factor, outcomes.data(), &telemetry);
                if (v.decision == Decision::NoMerge) continue;
                const std::string_view key = s.index.entries[i].key;
                auto [it, fresh] = kept.try_emplace({a, b}, key, "");
                if (!fresh && it->second.first <= key) continue;
                KeptPair p{a, b, 0, v, t.factor, key};
                it->second = {key, pair_text(p, outcomes.data(), n_rules)};
            }
        }
    }
    telemetry.set_blocking_groups(s.index.blocks.size());
    Judged out;
    for (auto& [ab, entry] : kept) out.kept[ab] = entry.second;
    out.telemetry = velatro::document::to_json(to_value(std::move(telemetry).into_telemetry()));
    return out;
}

Judged judge_once(const Stages& s) {
    const PreparedValues prepared = prepare_values(s.run, s.index);
    PairEvaluation e = evaluate_blocks(s.run, s.index, prepared);
    Judged out;
    for (const KeptPair& p : e.pairs)
        EXPECT_TRUE(out.kept
                        .emplace(std::pair{p.a, p.b},
                                 pair_text(p, e.outcomes.data(), s.run.engine.rules().size()))
                        .second)
            << "pair " << p.a << "," << p.b << " kept twice";
    out.telemetry = velatro::document::to_json(to_value(std::move(e.telemetry).into_telemetry()));
    return out;
}

struct OnceCase {
    const char* strategy;
    unsigned seed;
    int records;
};

class JudgeOnce : public ::testing::TestWithParam<OnceCase> {};

TEST_P(JudgeOnce, SameKeptPairsAndTelemetryAsJudgingEveryCopy) {
    const auto [strategy, seed, count] = GetParam();
    const auto engine = ReconciliationEngine::from_plan(compile(spec(strategy)));
    const auto entities = records(seed, count);
    const Stages s(engine, entities);
    const Judged reference = judge_every_copy(s);
    const Judged once = judge_once(s);
    ASSERT_FALSE(reference.kept.empty());
    EXPECT_EQ(once.kept, reference.kept);
    EXPECT_EQ(once.telemetry, reference.telemetry);
}

INSTANTIATE_TEST_SUITE_P(Blocking, JudgeOnce,
                         ::testing::Values(OnceCase{"composite", 1, 300},
                                           OnceCase{"composite", 2, 120}, OnceCase{"lsh", 3, 150}));

TEST(JudgeOnce, CopiesOfAPairAreCountedFromTheSmallestCommonBlock) {
    // x is in blocks 0 (twice) and 2, y in 0 and 1 (twice) and 2.
    const std::vector<Membership> x{{0, 2}, {2, 1}}, y{{0, 1}, {1, 2}, {2, 3}};
    EXPECT_EQ(pair_copies(x, y, 0), 2u * 1 + 1 * 3);
    EXPECT_EQ(pair_copies(x, y, 2), 0u);  // judged under block 0
    EXPECT_EQ(self_pair_copies(x, 0), 1u);
    EXPECT_EQ(self_pair_copies(y, 1), 1u + 3);
    EXPECT_EQ(self_pair_copies(y, 2), 0u);  // judged under block 1
}

TEST(Pipeline, ProfileCountsTheCopiesOneJudgementStandsFor) {
    const auto p = compile(spec("composite"));
    const auto entities = records(4, 200);
    RunOptions options;
    options.profile = true;
    RunProgress progress;
    options.progress = &progress;
    const CollectedRun r = reconcile_collected(ReconciliationEngine::from_plan(p), p.survivorship,
                                               entities, {}, options);
    ASSERT_TRUE(r.profile);
    const RunProfile& profile = *r.profile;
    EXPECT_EQ(profile.records, 200u);
    EXPECT_EQ(profile.blocks, r.telemetry.blocking_groups);
    EXPECT_EQ(profile.kept_pairs, r.decisions.size());
    EXPECT_EQ(profile.clusters, r.clustering.clusters.size());
    EXPECT_LT(profile.pairs_judged, profile.pair_copies);
    // Ended records are judged (and then skipped) as often as the blocks pair them.
    EXPECT_EQ(profile.pair_copies, progress.pairs_total.load());
    EXPECT_GT(profile.pair_copies, r.telemetry.pairs_evaluated);
    for (const char* stage : {"id_index", "block_index", "prepare", "evaluate", "order", "cluster",
                              "golden_records", "output"})
        EXPECT_GT(profile.seconds(stage), 0.0) << stage;
    EXPECT_EQ(progress.blocks_done.load(), progress.blocks_total.load());
    EXPECT_EQ(progress.pairs_done.load(), progress.pairs_total.load());
    EXPECT_EQ(progress.blocks_total.load(), profile.pairing_blocks);
    const std::string text = velatro::document::to_json(to_value(profile));
    EXPECT_NE(text.find("\"pair_copies\":" + std::to_string(profile.pair_copies)),
              std::string::npos)
        << text;
}

// A sink that records what reached it and can raise the cancel flag on the way.
class CancellingSink final : public ResultSink {
  public:
    std::atomic<bool>* cancel_on_clusters = nullptr;
    std::vector<std::string> calls;

    void clusters(const Clustering&, const std::vector<NormalizedEntity>&) override {
        calls.push_back("clusters");
        if (cancel_on_clusters) cancel_on_clusters->store(true);
    }
    void golden_records(std::size_t, std::span<GoldenRecord>) override {
        calls.push_back("golden_records");
    }
    void begin_decisions(std::size_t) override { calls.push_back("begin_decisions"); }
    void decisions(const DecisionBatch& batch) override {
        calls.push_back("decisions");
        // The compact view agrees with the expanded decision.
        for (const KeptPair& p : batch.pairs) {
            const MatchDecision d = batch.results.expand(p);
            std::vector<std::string> matched;
            batch.results.for_each_matched_on(p,
                                              [&](std::string_view s) { matched.emplace_back(s); });
            EXPECT_EQ(matched, d.matched_on);
            const auto outcomes = batch.results.outcomes(p);
            ASSERT_EQ(outcomes.size(), d.rule_results.size());
            for (std::size_t r = 0; r < outcomes.size(); ++r)
                EXPECT_EQ(outcomes[r].score, d.rule_results[r].score);
            EXPECT_EQ(batch.results.a(p).id, d.entity_a_id);
            EXPECT_EQ(p.key, *d.blocking_key);
        }
    }
    void telemetry(const ReconciliationTelemetry&, const RunProfile*) override {
        calls.push_back("telemetry");
    }
};

TEST(Pipeline, SinkSeesResultsInOrderAndCancellationStopsBetweenChunks) {
    const auto p = compile(spec("composite"));
    const auto engine = ReconciliationEngine::from_plan(p);
    const auto entities = records(5, 200);
    {
        CancellingSink sink;
        reconcile(engine, p.survivorship, entities, {}, {}, sink);
        EXPECT_EQ(sink.calls,
                  (std::vector<std::string>{"clusters", "golden_records", "begin_decisions",
                                            "decisions", "telemetry"}));
    }
    std::atomic<bool> cancel{false};
    RunOptions options;
    options.cancel = &cancel;
    {
        CancellingSink sink;
        sink.cancel_on_clusters = &cancel;
        EXPECT_THROW(reconcile(engine, p.survivorship, entities, {}, options, sink), RunCancelled);
        EXPECT_EQ(sink.calls, std::vector<std::string>{"clusters"});
    }
    {
        CancellingSink sink;  // cancelled before it starts: nothing reaches the sink
        EXPECT_THROW(reconcile(engine, p.survivorship, entities, {}, options, sink), RunCancelled);
        EXPECT_TRUE(sink.calls.empty());
    }
}

TEST(Pipeline, CancelFromAnotherThreadStopsThePairLoop) {
    // One block of 3000 records: 4.5 million pairs.
    const auto p = compile(R"(
blocking: {keys: [[zip]]}
rules: [{name: name, type: similarity, field: name, algorithm: jaro_winkler, threshold: 0.9}]
decision: {thresholds: {match: 0.99}}
)");
    std::vector<NormalizedEntity> entities;
    for (int i = 0; i < 3000; ++i) {
        NormalizedEntity e;
        e.id = id(i);
        e.data = FieldMap({{"zip", "Z"}, {"name", "n" + std::to_string(i * 7919 % 100003)}});
        entities.push_back(std::move(e));
    }
    std::atomic<bool> cancel{false};
    RunProgress progress;
    RunOptions options;
    options.cancel = &cancel;
    options.progress = &progress;
    std::thread watcher([&] {
        while (progress.pairs_done.load() == 0) std::this_thread::yield();
        cancel.store(true);
    });
    CancellingSink sink;
    EXPECT_THROW(
        reconcile(ReconciliationEngine::from_plan(p), p.survivorship, entities, {}, options, sink),
        RunCancelled);
    watcher.join();
    EXPECT_LT(progress.pairs_done.load(), progress.pairs_total.load());
    EXPECT_TRUE(sink.calls.empty());
}

}  // namespace

namespace {

// Two values of 200,000 characters: one edit distance between them takes seconds, so a
// stop must reach inside the comparison, not wait for the pair to end.
TEST(RunCancellation, ReachesInsideOneLongComparison) {
    const plan::IdentityPlan p = compile(R"(
blocking: {keys: [[zip]]}
rules:
  - {name: text, type: similarity, field: text, algorithm: levenshtein, threshold: 0.5, weight: 1.0}
decision: {thresholds: {match: 0.99}}
)");
    std::vector<NormalizedEntity> entities;
    std::mt19937 rng(5);
    for (int i = 0; i < 2; ++i) {
        NormalizedEntity e;
        e.id = id(i);
        std::string text(200000, 'a');
        for (char& c : text) c = static_cast<char>('a' + rng() % 26);
        e.data = FieldMap({{"zip", "Z"}, {"text", std::move(text)}});
        entities.push_back(std::move(e));
    }
    std::atomic<bool> cancel{false};
    RunOptions options;
    options.cancel = &cancel;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        cancel.store(true);
    });
    CollectingSink sink;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(
        reconcile(ReconciliationEngine::from_plan(p), p.survivorship, entities, {}, options, sink),
        RunCancelled);
    stopper.join();
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // Uncancelled, the comparison alone takes several seconds on this kind of machine.
    EXPECT_LT(seconds, 1.5);
}

}  // namespace
