#include "engine/survivorship.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "document/json_writer.hpp"

namespace ve = velatro::engine;
namespace vp = velatro::plan;
using Strategy = vp::SurvivorshipStrategy;

namespace {

ve::Uuid uuid(int n) {
    char text[40];
    std::snprintf(text, sizeof text, "00000000-0000-0000-0000-%012d", n);
    return *ve::Uuid::parse(text);
}

ve::UtcDateTime year(int y) {
    return ve::UtcDateTime::from_civil(y, 1, 1, 0, 0, 0);
}

// A record to build: data plus whatever the case needs to vary, defaults otherwise.
struct Member {
    int id_ = 1;
    std::string source_ = "crm";
    std::string external_id_ = "x";
    std::vector<ve::FieldMap::Entry> data_;
    std::optional<int> valid_from_;
    int last_updated_ = 2024;

    Member& id(int v) { return id_ = v, *this; }
    Member& from(std::string v) { return source_ = std::move(v), *this; }
    Member& ext(std::string v) { return external_id_ = std::move(v), *this; }
    Member& valid(int year) { return valid_from_ = year, *this; }
    Member& updated(int year) { return last_updated_ = year, *this; }
};

Member has(std::vector<ve::FieldMap::Entry> data) {
    Member m;
    m.data_ = std::move(data);
    return m;
}

ve::NormalizedEntity entity(const Member& m) {
    ve::NormalizedEntity e;
    e.id = uuid(m.id_);
    e.source_name = m.source_;
    e.external_id = m.external_id_;
    e.data = ve::FieldMap(m.data_);
    if (m.valid_from_) e.valid_from = year(*m.valid_from_);
    e.last_updated = year(m.last_updated_);
    return e;
}

std::vector<ve::NormalizedEntity> entities(const std::vector<Member>& members) {
    std::vector<ve::NormalizedEntity> out;
    for (const Member& m : members) out.push_back(entity(m));
    return out;
}

// Members that carry only field "f" with the given values, all equally recent.
std::vector<Member> values(std::vector<std::string> texts) {
    std::vector<Member> out;
    for (auto& t : texts) out.push_back(has({{"f", t}}));
    return out;
}

vp::SurvivorshipPolicy field_policy(Strategy strategy,
                                    std::optional<std::vector<std::string>> priority = {},
                                    std::optional<std::string> aggregate = {}) {
    vp::SurvivorshipPolicy policy;
    policy.field_policies["f"] =
        vp::FieldSurvivorshipPolicy{strategy, std::move(priority), std::move(aggregate)};
    return policy;
}

vp::SurvivorshipPolicy aggregate(std::optional<std::string> fn) {
    return field_policy(Strategy::Aggregate, std::nullopt, std::move(fn));
}

struct StrategyCase {
    std::string name;
    vp::SurvivorshipPolicy policy;
    std::vector<Member> members;
    std::optional<std::string> expected;  // of field "f"
};

class StrategyTest : public testing::TestWithParam<StrategyCase> {};

TEST_P(StrategyTest, SurvivingValue) {
    const StrategyCase& c = GetParam();
    const auto golden =
        ve::SurvivorshipEngine::construct_golden_record(entities(c.members), c.policy);
    const auto it = golden.find("f");
    const std::optional<std::string> actual =
        it == golden.end() ? std::nullopt : std::optional<std::string>(it->second);
    EXPECT_EQ(actual, c.expected);
}

vp::SurvivorshipPolicy by_default(Strategy strategy) {
    vp::SurvivorshipPolicy policy;
    policy.default_strategy = strategy;
    return policy;
}

const std::vector<std::string> kCrmErp{"crm", "erp"};

INSTANTIATE_TEST_SUITE_P(
    Survivorship, StrategyTest,
    testing::Values(
        // valid_from stands in for last_updated when present: 2023 beats 2020.
        StrategyCase{
            "RecentUsesValidFromFirst",
            by_default(Strategy::MostRecent),
            {has({{"f", "old"}}).valid(2020).updated(2024), has({{"f", "new"}}).updated(2023)},
            "new"},
        StrategyCase{"RecentTieGoesToGreaterExternalId",
                     by_default(Strategy::MostRecent),
                     {has({{"f", "1"}}).ext("b"), has({{"f", "2"}}).ext("a")},
                     "1"},
        StrategyCase{"RecentFullTieGoesToLaterMember",
                     by_default(Strategy::MostRecent),
                     {has({{"f", "1"}}), has({{"f", "2"}})},
                     "2"},
        StrategyCase{"RecentSkipsMembersWithoutTheField",
                     by_default(Strategy::MostRecent),
                     {has({{"f", "kept"}}).updated(2001), has({{"g", "x"}}).updated(2030)},
                     "kept"},
        StrategyCase{"CustomBehavesAsMostRecent",
                     field_policy(Strategy::Custom),
                     {has({{"f", "new"}}).updated(2023), has({{"f", "old"}}).updated(2022)},
                     "new"},
        StrategyCase{"CompleteTakesLongest", field_policy(Strategy::MostComplete),
                     values({"Robert", "Bob"}), "Robert"},
        StrategyCase{"CompleteTieTakesGreaterBytes", field_policy(Strategy::MostComplete),
                     values({"abd", "abc"}), "abd"},
        StrategyCase{"PriorityTakesEarliestListedSource",
                     field_policy(Strategy::SourcePriority, kCrmErp),
                     {has({{"f", "w"}}).from("web").updated(2030), has({{"f", "e"}}).from("erp")},
                     "e"},
        StrategyCase{"PriorityFirstMemberOfASourceWins",
                     field_policy(Strategy::SourcePriority, kCrmErp),
                     {has({{"f", "1"}}).from("crm").updated(2001),
                      has({{"f", "2"}}).from("crm").updated(2030)},
                     "1"},
        StrategyCase{
            "PriorityIsCaseSensitive",
            field_policy(Strategy::SourcePriority, kCrmErp),
            {has({{"f", "upper"}}).from("CRM").updated(2030), has({{"f", "e"}}).from("erp")},
            "e"},
        StrategyCase{
            "PriorityUnlistedSourcesFallBackToRecent",
            field_policy(Strategy::SourcePriority, kCrmErp),
            {has({{"f", "new"}}).from("web").updated(2030), has({{"f", "old"}}).from("web")},
            "new"},
        StrategyCase{
            "PriorityWithoutListIsRecent",
            field_policy(Strategy::SourcePriority),
            {has({{"f", "old"}}).from("crm").updated(2001), has({{"f", "new"}}).from("erp")},
            "new"},
        StrategyCase{"PriorityEmptyListIsRecent",
                     field_policy(Strategy::SourcePriority, std::vector<std::string>{}),
                     {has({{"f", "new"}}).updated(2030), has({{"f", "old"}})},
                     "new"},
        StrategyCase{
            "PriorityAsDefaultHasNoListSoIsRecent",
            by_default(Strategy::SourcePriority),
            {has({{"f", "old"}}).from("crm").updated(2001), has({{"f", "new"}}).from("erp")},
            "new"},
        StrategyCase{"SumSkipsUnparsable", aggregate("Sum"), values({"1", "2.5", "x"}), "3.5"},
        StrategyCase{"SumOfNothingParsedIsNegativeZero", aggregate("Sum"), values({"x"}), "-0"},
        StrategyCase{"SumRewritesAsNumber", aggregate("Sum"), values({"007"}), "7"},
        StrategyCase{"SumIntegralHasNoFraction", aggregate("Sum"), values({"1.5", "1.5"}), "3"},
        StrategyCase{"SumNeverUsesExponent", aggregate("Sum"), values({"1e21", "1E-7"}),
                     "1000000000000000000000"},
        StrategyCase{"SumTinyIsPositional", aggregate("Sum"), values({"1e-7"}), "0.0000001"},
        StrategyCase{"SumInMemberOrder", aggregate("Sum"), values({"1e16", "1", "1"}),
                     "10000000000000000"},
        StrategyCase{"SumOfInfinities", aggregate("Sum"), values({"-inf", "Infinity"}), "NaN"},
        StrategyCase{"SumInfinite", aggregate("Sum"), values({"+INF", "1"}), "inf"},
        StrategyCase{"SumBlanksAreUnparsable", aggregate("Sum"), values({" 1", "2 ", "4"}), "4"},
        StrategyCase{"AvgOfNothingParsedIsAbsent", aggregate("Avg"), values({"x"}), std::nullopt},
        StrategyCase{"AvgOfTwo", aggregate("Avg"), values({"1", "2"}), "1.5"},
        StrategyCase{"AvgCountsOnlyParsed", aggregate("Avg"), values({"1", "x", "2", "6"}), "3"},
        StrategyCase{"AvgOfNegativeZero", aggregate("Avg"), values({"-0"}), "-0"},
        StrategyCase{"MaxIsByteOrder", aggregate("Max"), values({"9", "10"}), "9"},
        StrategyCase{"MinIsByteOrder", aggregate("Min"), values({"9", "10"}), "10"},
        StrategyCase{"IntersectionOfEqual", aggregate("Intersection"), values({"a", "a"}), "a"},
        StrategyCase{"IntersectionOfDifferent", aggregate("Intersection"), values({"a", "b"}),
                     std::nullopt},
        StrategyCase{"Union", aggregate("Union"), values({"b", "a", "b"}), "a,b"},
        StrategyCase{"UnknownFunctionIsUnion", aggregate("Median"), values({"b", "a", "b"}), "a,b"},
        StrategyCase{"FunctionNamesAreCaseSensitive", aggregate("sum"), values({"2", "1"}), "1,2"},
        StrategyCase{"NoFunctionIsUnion", aggregate(std::nullopt), values({"b", "a"}), "a,b"},
        StrategyCase{"SingleValueSurvivesUnchanged", aggregate("Max"), values({"007"}), "007"},
        StrategyCase{"NoMemberHasTheField", aggregate("Sum"), {has({{"g", "1"}})}, std::nullopt}),
    [](const auto& info) { return info.param.name; });

TEST(Survivorship, FieldPoliciesOverrideTheDefaultPerField) {
    vp::SurvivorshipPolicy policy = aggregate("Sum");
    policy.default_strategy = Strategy::MostComplete;
    const auto members = entities(
        {has({{"f", "1"}, {"name", "Bob"}}), has({{"f", "2"}, {"name", "Robert"}, {"tag", "t"}})});
    EXPECT_EQ(ve::SurvivorshipEngine::construct_golden_record(members, policy),
              (ve::GoldenRecord{{"f", "3"}, {"name", "Robert"}, {"tag", "t"}}));
    EXPECT_TRUE(ve::SurvivorshipEngine::construct_golden_record(
                    std::span<const ve::NormalizedEntity>{}, policy)
                    .empty());
    EXPECT_EQ(ve::SurvivorshipEngine::pick_by_most_recent(members, "tag"), "t");
    EXPECT_EQ(ve::SurvivorshipEngine::pick_by_most_recent(members, "none"), std::nullopt);
}

TEST(GoldenRecord, SingletonKeepsItsDataAndGetsKeyAndCount) {
    // Data fields named like the added keys are replaced by them.
    const auto all =
        entities({has({{"name", "Ann"}, {"member_count", "9"}, {"velatro_id", "mine"}}).id(1)});
    const std::vector<std::size_t> positions{0};
    const auto golden = ve::golden_record(all, positions, vp::SurvivorshipPolicy{});
    EXPECT_EQ(golden,
              (ve::GoldenRecord{
                  {"member_count", "1"}, {"name", "Ann"}, {"velatro_id", "vlt_030fe432879c"}}));
    EXPECT_EQ(velatro::document::to_json(ve::golden_record_to_value(golden)),
              R"({"member_count":"1","name":"Ann","velatro_id":"vlt_030fe432879c"})");
}

TEST(GoldenRecord, KeyDependsOnlyOnTheSetOfIds) {
    const std::vector<ve::Uuid> ab{uuid(1), uuid(2)};
    const std::vector<ve::Uuid> ba{uuid(2), uuid(1)};
    EXPECT_EQ(ve::velatro_id(ab), "vlt_6a7ecc850fc5");
    EXPECT_EQ(ve::velatro_id(ba), "vlt_6a7ecc850fc5");
    EXPECT_NE(ve::velatro_id(std::vector{uuid(1), uuid(3)}), ve::velatro_id(ab));
    EXPECT_EQ(ve::velatro_id(std::vector{uuid(1), uuid(1)}), "vlt_8ad1bbff175e");

    // Positions in any order give the same record: members follow ascending id.
    const auto all = entities({has({{"f", "b"}}).id(2), has({{"f", "a"}}).id(1)});
    const auto policy = aggregate("Union");
    const std::vector<std::size_t> forward{0, 1};
    const std::vector<std::size_t> backward{1, 0};
    const auto golden = ve::golden_record(all, forward, policy);
    EXPECT_EQ(golden, ve::golden_record(all, backward, policy));
    EXPECT_EQ(golden.at("velatro_id"), "vlt_6a7ecc850fc5");
    EXPECT_EQ(golden.at("member_count"), "2");
    EXPECT_EQ(golden.at("f"), "a,b");
}

// Two records sharing an id: each cluster is built from its own records, so the later
// record's data is not replaced by the earlier one's and nothing is lost.
TEST(GoldenRecord, SharedIdKeepsEachRecordsOwnData) {
    const auto all = entities({has({{"email", "first@x"}}).id(7).from("crm"),
                               has({{"phone", "555"}}).id(8).from("erp"),
                               has({{"email", "second@x"}}).id(7).from("web")});
    vp::SurvivorshipPolicy policy;
    policy.field_policies["email"] = {Strategy::Aggregate, std::nullopt, "Union"};

    const std::vector<std::size_t> later_alone{2};
    const auto alone = ve::golden_record(all, later_alone, policy);
    EXPECT_EQ(alone.at("email"), "second@x");
    EXPECT_EQ(alone.at("velatro_id"), ve::velatro_id(std::vector{uuid(7)}));

    const std::vector<std::size_t> both{2, 1, 0};
    const auto merged = ve::golden_record(all, both, policy);
    EXPECT_EQ(merged, (ve::GoldenRecord{{"email", "first@x,second@x"},
                                        {"member_count", "3"},
                                        {"phone", "555"},
                                        {"velatro_id", "vlt_53f431d6ab74"}}))
        << "member_count counts records; the key is over the listed ids, repeats included";
}

}  // namespace
