#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "engine/blocking/char_windows.hpp"
#include "engine/blocking/lsh_blocking.hpp"
#include "engine/blocking/minhash.hpp"
#include "engine/blocking/seahash.hpp"

namespace ve = velatro::engine;

namespace {

ve::NormalizedEntity record(std::vector<ve::FieldMap::Entry> data) {
    ve::NormalizedEntity entity;
    entity.data = ve::FieldMap(std::move(data));
    return entity;
}

std::vector<std::string> windows(std::string_view text) {
    std::vector<std::string> out;
    ve::for_each_char_window<3>(text, [&](std::string_view w) { out.emplace_back(w); });
    return out;
}

TEST(CharWindows, WindowsFollowCharactersNotBytes) {
    using V = std::vector<std::string>;
    EXPECT_EQ(windows("Smith"), (V{"Smi", "mit", "ith"}));
    EXPECT_EQ(windows("ab"), V{});
    EXPECT_EQ(windows("abc"), V{"abc"});
    // "é" and "ö" are two bytes each; no window may split them.
    EXPECT_EQ(windows("Zoë é"), (V{"Zoë", "oë ", "ë é"}));
    EXPECT_EQ(ve::char_count("Zoë é"), 5U);
    // A stray byte counts as a character of its own instead of swallowing its neighbours.
    EXPECT_EQ(windows("a\xff"
                      "bc"),
              (V{"a\xff"
                 "b",
                 "\xff"
                 "bc"}));
    // A character never spans more than four bytes, however many continuation bytes follow.
    EXPECT_EQ(ve::char_count("\x80\x80\x80\x80\x80"), 2U);
}

TEST(MinHash, CoefficientsComeFromTheSeededStreamMultipliersFirst) {
    // Pinned: the key texts of every LSH run depend on these numbers.
    const auto family = ve::MinHashFamily::generate(100, 42);
    ASSERT_EQ(family.size(), 100U);
    EXPECT_EQ(family.multipliers[0], 12578764544318200737ULL);
    EXPECT_EQ(family.multipliers[1], 17529487244874322312ULL);
    EXPECT_EQ(family.multipliers[2], 7886285670807131020ULL);
    EXPECT_EQ(family.offsets[0], 201506281876058851ULL);
    EXPECT_EQ(family.offsets[1], 6985562049278432554ULL);
    EXPECT_EQ(family.offsets[2], 5049043014619950766ULL);
    EXPECT_EQ(family.offsets[99], 4912714759649460414ULL);
}

TEST(MinHash, SignatureIsTheMinimumOfEachFunction) {
    ve::MinHashFamily family{{3, 1}, {10, 0}};
    std::vector<std::uint64_t> signature(2);
    const std::vector<std::uint64_t> hashes{5, 2, 7};
    ve::minhash_signature(family, hashes, signature);
    EXPECT_EQ(signature, (std::vector<std::uint64_t>{16, 2}));
    // Wrapping arithmetic: the largest hash times 3 wraps below the others.
    const std::vector<std::uint64_t> wrapping{std::numeric_limits<std::uint64_t>::max(), 1};
    ve::minhash_signature(family, wrapping, signature);
    EXPECT_EQ(signature[0], 7U);
    ve::minhash_signature(family, {}, signature);
    EXPECT_EQ(signature[0], std::numeric_limits<std::uint64_t>::max());
}

TEST(MinHash, ShortTextIsItsOwnShingle) {
    std::vector<std::uint64_t> hashes;
    ve::append_shingle_hashes("ab", hashes);
    EXPECT_EQ(hashes, std::vector<std::uint64_t>{ve::seahash("ab")});
    hashes.clear();
    ve::append_shingle_hashes("abcd", hashes);
    EXPECT_EQ(hashes, (std::vector<std::uint64_t>{ve::seahash("abc"), ve::seahash("bcd")}));
}

// Keys for fixed records, pinned: they are visible on every decision.
TEST(LshBlocking, KeysForFixedRecordsArePinned) {
    const ve::LshBlocking lsh({"first_name", "last_name"}, 20, 5);
    const auto john =
        lsh.generate_block_key(record({{"first_name", "John"}, {"last_name", "Smith"}}));
    ASSERT_EQ(john.size(), 20U);
    EXPECT_EQ(john[0], "lsh:0:13685671859616347498");
    EXPECT_EQ(john[1], "lsh:1:5069474792467278107");
    EXPECT_EQ(john[17], "lsh:17:153339742533183718");
    EXPECT_EQ(john[19], "lsh:19:1720824024564451696");

    // Only value is 'ab': the text is 'ab ' and its single shingle is 'ab '.
    const auto ab = lsh.generate_block_key(record({{"last_name", "ab"}}));
    ASSERT_EQ(ab.size(), 20U);
    EXPECT_EQ(ab[0], "lsh:0:13316040043701254879");
    EXPECT_EQ(ab[19], "lsh:19:15741408130168801160");

    const auto accented =
        lsh.generate_block_key(record({{"first_name", "José"}, {"last_name", "Zoë"}}));
    ASSERT_EQ(accented.size(), 20U);
    EXPECT_EQ(accented[0], "lsh:0:4270230115637204074");
    EXPECT_EQ(accented[2], "lsh:2:9798928295583864014");
}

TEST(LshBlocking, BandNumbersRunInOrderAndEqualValuesGiveEqualKeys) {
    const ve::LshBlocking lsh({"name", "city"}, 20, 5);
    const auto a = lsh.generate_block_key(record({{"name", "Ada Lovelace"}, {"city", "London"}}));
    // Other fields and the record's identity play no part.
    auto other = record({{"name", "Ada Lovelace"}, {"city", "London"}, {"zip", "N1"}});
    other.id.bytes[0] = 7;
    EXPECT_EQ(lsh.generate_block_key(other), a);
    ASSERT_EQ(a.size(), 20U);
    for (std::size_t band = 0; band < a.size(); ++band)
        EXPECT_EQ(a[band].rfind("lsh:" + std::to_string(band) + ":", 0), 0U) << a[band];
    // Field order is the strategy's, not the record's: swapping the values changes keys.
    EXPECT_NE(lsh.generate_block_key(record({{"name", "London"}, {"city", "Ada Lovelace"}})), a);
}

TEST(LshBlocking, NoKeysWithoutFieldsOrValues) {
    const ve::LshBlocking lsh({"name"}, 20, 5);
    EXPECT_TRUE(lsh.generate_block_key(record({})).empty());
    EXPECT_TRUE(lsh.generate_block_key(record({{"other", "x"}})).empty());
    const ve::LshBlocking no_fields({}, 20, 5);
    EXPECT_TRUE(no_fields.generate_block_key(record({{"name", "x"}})).empty());
    // An empty value is present: the text is a single space.
    const auto blank = lsh.generate_block_key(record({{"name", ""}}));
    EXPECT_EQ(blank.size(), 20U);
}

TEST(LshBlocking, RepeatedFieldsAndOtherShapes) {
    // Fields are listed once per blocking key, so a field can appear twice.
    const ve::LshBlocking twice({"name", "name"}, 2, 3);
    const ve::LshBlocking once({"name"}, 2, 3);
    const auto entity = record({{"name", "abc"}});
    const auto keys = twice.generate_block_key(entity);
    ASSERT_EQ(keys.size(), 2U);
    EXPECT_NE(keys, once.generate_block_key(entity));  // 'abc abc ' is not 'abc '
    EXPECT_EQ(twice.multipliers().size(), 6U);
    EXPECT_EQ(twice.offsets().size(), 6U);
    // Without rows every band hashes the empty digit text.
    const ve::LshBlocking no_rows({"name"}, 2, 0);
    const std::string empty_hash = std::to_string(ve::seahash(""));
    EXPECT_EQ(no_rows.generate_block_key(entity),
              (std::vector<std::string>{"lsh:0:" + empty_hash, "lsh:1:" + empty_hash}));
}

TEST(LshBlocking, VeryLongValueThenShortOne) {
    const ve::LshBlocking lsh({"last_name"}, 20, 5);
    std::string text;
    for (int i = 0; i < 10'000; ++i) text += "Zoë Smith ";
    EXPECT_EQ(lsh.generate_block_key(record({{"last_name", text}})).size(), 20U);
    // Pinned above; the buffers released after the long text must not change it.
    EXPECT_EQ(lsh.generate_block_key(record({{"last_name", "ab"}}))[0],
              "lsh:0:13316040043701254879");
}

TEST(LshBlocking, AppendsAfterExistingKeys) {
    const ve::LshBlocking lsh({"name"}, 3, 2);
    std::vector<std::string> keys{"first"};
    lsh.append_block_keys(record({{"name", "Grace"}}), keys);
    ASSERT_EQ(keys.size(), 4U);
    EXPECT_EQ(keys[0], "first");
    EXPECT_EQ(keys[1].rfind("lsh:0:", 0), 0U);
}

}  // namespace
