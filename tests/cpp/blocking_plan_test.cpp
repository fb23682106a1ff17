#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/blocking/plan_blocking.hpp"

namespace ve = velatro::engine;
namespace vp = velatro::plan;
using T = vp::BlockingTransformation;
using Texts = std::vector<std::string>;

namespace {

ve::NormalizedEntity record(std::vector<ve::FieldMap::Entry> data) {
    ve::NormalizedEntity entity;
    entity.data = ve::FieldMap(std::move(data));
    return entity;
}

Texts keys_of(std::vector<vp::BlockingKey> keys, const ve::NormalizedEntity& entity) {
    return ve::PlanBlocking(std::move(keys)).generate_block_key(entity);
}

const ve::NormalizedEntity kSmith = record({{"last_name", "Smith"}, {"zip", "90210"}});

TEST(PlanBlocking, FirstInitialOnTwoFields) {
    EXPECT_EQ(keys_of({{{"last_name", "zip"}, {T::FirstInitial}}}, kSmith), Texts{"S|9"});
}

TEST(PlanBlocking, TrigramsCombineWithTheFirstFieldOutermost) {
    EXPECT_EQ(keys_of({{{"last_name", "zip"}, {T::Trigrams}}}, kSmith),
              (Texts{"Smi|902", "Smi|021", "Smi|210", "mit|902", "mit|021", "mit|210", "ith|902",
                     "ith|021", "ith|210"}));
}

TEST(PlanBlocking, AbsentFieldSilencesOnlyItsBlockingKey) {
    const auto no_zip = record({{"last_name", "Smith"}});
    EXPECT_EQ(keys_of({{{"last_name", "zip"}, {T::FirstInitial}}}, no_zip), Texts{});
    EXPECT_EQ(keys_of({{{"last_name", "zip"}, {}}, {{"last_name"}, {}}}, no_zip), Texts{"Smith"});
    // An empty text is a present value.
    const auto empty_zip = record({{"last_name", "Smith"}, {"zip", ""}});
    EXPECT_EQ(keys_of({{{"last_name", "zip"}, {}}}, empty_zip), Texts{"Smith|"});
}

TEST(PlanBlocking, RawValuesKeepCaseAndBlanks) {
    const auto lower = record({{"last_name", " smith "}});
    EXPECT_EQ(keys_of({{{"last_name"}, {}}}, kSmith), Texts{"Smith"});
    EXPECT_EQ(keys_of({{{"last_name"}, {}}}, lower), Texts{" smith "});
}

TEST(PlanBlocking, TransformationsApplyInOrderToEveryValue) {
    // Trigrams first, then the initial of each trigram.
    EXPECT_EQ(keys_of({{{"last_name"}, {T::Trigrams, T::FirstInitial}}}, kSmith),
              (Texts{"S", "m", "i"}));
    // The same transformations apply to every field of the key.
    EXPECT_EQ(keys_of({{{"last_name", "zip"}, {T::FirstInitial, T::Trigrams}}}, kSmith),
              Texts{"S|9"});
}

TEST(PlanBlocking, RepeatedKeysAreKeptInPlanOrder) {
    const auto keys =
        keys_of({{{"zip"}, {T::Last4}},
                 {{"last_name"}, {T::FirstInitial}},
                 {{"postcode"}, {}},
                 {{"zip"}, {T::Last4}}},
                record({{"zip", "90210"}, {"last_name", "Smith"}, {"postcode", "0210"}}));
    EXPECT_EQ(keys, (Texts{"0210", "S", "0210", "0210"}));
}

TEST(PlanBlocking, KeyWithoutFieldsGivesOneEmptyKey) {
    EXPECT_EQ(keys_of({{{}, {T::Trigrams}}}, kSmith), Texts{""});
    EXPECT_EQ(keys_of({}, kSmith), Texts{});
}

const ve::NormalizedEntity kTenChars =
    record({{"a", "abcdefghij"}, {"b", "klmnopqrst"}, {"c", "uvwxyzABCD"}, {"d", "EFGHIJKLMN"}});

TEST(PlanBlocking, CombinationsAreCutToTheFirstHundred) {
    // 8 trigrams per field: 64 partial keys after b, 512 candidates after c, cut to 100.
    const auto keys = keys_of({{{"a", "b", "c"}, {T::Trigrams}}}, kTenChars);
    ASSERT_EQ(keys.size(), 100U);
    EXPECT_EQ(keys[0], "abc|klm|uvw");
    EXPECT_EQ(keys[7], "abc|klm|BCD");
    EXPECT_EQ(keys[8], "abc|lmn|uvw");
    EXPECT_EQ(keys[64], "bcd|klm|uvw");
    EXPECT_EQ(keys[99], "bcd|opq|xyz");  // 99 = 1 * 64 + 4 * 8 + 3
}

TEST(PlanBlocking, FieldsAfterTheCapAreNotLookedAt) {
    // After the cut the key is complete, even though field "missing" is absent.
    const auto capped = keys_of({{{"a", "b", "c", "missing"}, {T::Trigrams}}}, kTenChars);
    EXPECT_EQ(capped.size(), 100U);
    EXPECT_EQ(capped[0], "abc|klm|uvw");
    // Exactly 100 is not over the cap: the next field is still required.
    const auto ten = record({{"a", "abcdefghijkl"}, {"b", "klmnopqrstuv"}});
    EXPECT_EQ(keys_of({{{"a", "b", "missing"}, {T::Trigrams}}}, ten), Texts{});
    EXPECT_EQ(keys_of({{{"a", "b"}, {T::Trigrams}}}, ten).size(), 100U);
    // One field with more than 100 values is cut as well.
    const auto long_value = record({{"a", std::string(150, 'x')}});
    const auto single = keys_of({{{"a", "missing"}, {T::Trigrams}}}, long_value);
    EXPECT_EQ(single, Texts(100, "xxx"));
}

TEST(PlanBlocking, VeryLongAndNonLatinValues) {
    const ve::PlanBlocking blocking({{{"name", "zip"}, {T::Trigrams}}, {{"name"}, {T::Lowercase}}});
    std::string long_name(100'000, 'a');
    long_name += "ΣΟΦΙΑ";
    const auto keys = blocking.generate_block_key(record({{"name", long_name}, {"zip", "1"}}));
    // Over 100 trigrams from the first field alone: cut there, zip is never reached.
    ASSERT_EQ(keys.size(), 101U);
    EXPECT_EQ(keys[0], "aaa");
    EXPECT_EQ(keys[99], "aaa");
    EXPECT_EQ(keys[100], std::string(100'000, 'a') + "σοφια");
    // The working lists shrink back afterwards and still give the right keys.
    EXPECT_EQ(blocking.generate_block_key(record({{"name", "Ωμέγα"}, {"zip", "12"}})),
              (Texts{"Ωμέ|12", "μέγ|12", "έγα|12", "ωμέγα"}));
}

TEST(PlanBlocking, AppendsAfterExistingKeysAndReusesItsBuffers) {
    const ve::PlanBlocking blocking({{{"last_name", "zip"}, {T::Trigrams}}});
    std::vector<std::string> keys{"first"};
    blocking.append_block_keys(kSmith, keys);
    blocking.append_block_keys(record({{"last_name", "Li"}, {"zip", "1"}}), keys);
    ASSERT_EQ(keys.size(), 11U);
    EXPECT_EQ(keys[0], "first");
    EXPECT_EQ(keys[1], "Smi|902");
    EXPECT_EQ(keys[10], "Li|1");
}

}  // namespace
