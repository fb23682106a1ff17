// Block sizes before a run: per blocking key, merged over keys as the run's blocks are,
// with repeats counted the way the run counts them.
#include "engine/blocking/block_counts.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/compiler.hpp"
#include "spec/reader.hpp"

using namespace velatro::engine;

namespace {

ReconciliationEngine engine_for(const std::string& body) {
    const auto plan = SpecCompiler::compile(velatro::spec::read_identity_spec(R"(
api_version: velatro/v1
identity_version: "1"
entity: {name: person}
sources: {crm: {adapter: csv}}
rules: [{name: email, type: exact, field: email}]
decision: {thresholds: {match: 1.0}}
)" + body));
    return ReconciliationEngine::from_plan(plan);
}

std::vector<NormalizedEntity> people(const std::vector<std::vector<FieldMap::Entry>>& rows) {
    std::vector<NormalizedEntity> out;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        NormalizedEntity e;
        e.id.bytes[15] = static_cast<std::uint8_t>(i + 1);
        e.external_id = std::to_string(i);
        e.source_name = "crm";
        e.data = FieldMap(std::vector<FieldMap::Entry>(rows[i]));
        out.push_back(std::move(e));
    }
    return out;
}

}  // namespace

TEST(BlockCounts, PerKeyAndMergedLikeTheRun) {
    // [city] texts and [email] texts coincide for "x": one block of the run.
    const auto engine = engine_for("blocking: {keys: [[city], [email]]}\n");
    const auto records = people({{{"city", "x"}, {"email", "a@b.c"}},
                                 {{"city", "x"}, {"email", "a@b.c"}},
                                 {{"city", "y"}, {"email", "x"}},
                                 {{"name", "nobody"}}});
    const BlockCounts counts = count_blocks(engine, records, 1);
    ASSERT_EQ(counts.keys.size(), 2u);
    EXPECT_EQ(counts.keys[0].key_index, 0);
    EXPECT_EQ(counts.keys[0].blocks, 2u);
    EXPECT_EQ(counts.keys[0].pairs, 1u);
    EXPECT_EQ(counts.keys[0].records, 3u);
    ASSERT_EQ(counts.keys[0].largest.size(), 1u);
    EXPECT_EQ(counts.keys[0].largest[0].key, "x");
    EXPECT_EQ(counts.keys[0].largest[0].records, 2u);
    EXPECT_EQ(counts.keys[1].pairs, 1u);  // a@b.c twice; "x" once
    // Blocks of the run: x (3 records: two cities and one e-mail), y, a@b.c.
    EXPECT_EQ(counts.blocks, 3u);
    EXPECT_EQ(counts.pairs, 3u + 1u);
    EXPECT_EQ(counts.records_without_key, 1u);
    EXPECT_EQ(counts.records_with_repeated_key, 0u);
}

TEST(BlockCounts, RepeatedKeysAndExclusions) {
    const auto engine = engine_for(R"(blocking: {keys: [[email], [email], [email]]}
exclusions: [{type: field_value, field: email, operator: eq, value: "skip"}]
)");
    const auto records =
        people({{{"email", "a"}}, {{"email", "a"}}, {{"email", "skip"}}, {{"email", "skip"}}});
    const BlockCounts counts = count_blocks(engine, records, 5);
    // Each record of "a" is listed three times: a block of 6, 15 pair evaluations.
    EXPECT_EQ(counts.blocks, 1u);
    EXPECT_EQ(counts.pairs, 15u);
    EXPECT_EQ(counts.records_with_repeated_key, 2u);
    EXPECT_EQ(counts.records_without_key, 2u);  // excluded from blocking
    for (const auto& key : counts.keys) EXPECT_EQ(key.pairs, 1u);
}
