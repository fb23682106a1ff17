#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/blocking/block_transformation.hpp"
#include "engine/blocking/text_list.hpp"
#include "plan/enums.hpp"

namespace ve = velatro::engine;

namespace {

using Texts = std::vector<std::string>;
using T = velatro::plan::BlockingTransformation;

Texts run(T transformation, std::string_view value) {
    ve::TextList out;
    ve::apply_transformation(transformation, value, out);
    return Texts(out.begin(), out.end());
}

struct Case {
    T transformation;
    std::string_view value;
    Texts expected;
};

class Transformation : public ::testing::TestWithParam<Case> {};

TEST_P(Transformation, GivesExpectedResults) {
    const auto& c = GetParam();
    EXPECT_EQ(run(c.transformation, c.value), c.expected) << c.value;
}

INSTANTIATE_TEST_SUITE_P(
    Lowercase, Transformation,
    ::testing::Values(Case{T::Lowercase, "SMITH Jr.", {"smith jr."}}, Case{T::Lowercase, "", {""}},
                      // Full mapping: final sigma at the end of a word, İ becomes two characters.
                      Case{T::Lowercase, "ΟΔΟΣ", {"οδος"}}, Case{T::Lowercase, "İ", {"i\u0307"}}));

INSTANTIATE_TEST_SUITE_P(
    FirstInitial, Transformation,
    ::testing::Values(Case{T::FirstInitial, "Smith", {"S"}}, Case{T::FirstInitial, "smith", {"s"}},
                      Case{T::FirstInitial, "90210", {"9"}}, Case{T::FirstInitial, "", {""}},
                      Case{T::FirstInitial, "Élodie", {"É"}}, Case{T::FirstInitial, " x", {" "}}));

INSTANTIATE_TEST_SUITE_P(Phonetic, Transformation,
                         ::testing::Values(Case{T::Soundex, "Robert", {"R163"}},
                                           Case{T::Soundex, "Rupert", {"R163"}},
                                           Case{T::Soundex, "123", {""}},
                                           Case{T::DoubleMetaphone, "Smith", {"SM0"}},
                                           Case{T::DoubleMetaphone, "  smith ", {"SM0"}},
                                           Case{T::DoubleMetaphone, "Schmidt", {"XMT"}},
                                           Case{T::DoubleMetaphone, "", {""}}));

INSTANTIATE_TEST_SUITE_P(AreaCode, Transformation,
                         ::testing::Values(Case{T::AreaCode, "(555) 123-4567", {"555"}},
                                           Case{T::AreaCode, "+1 555 123 4567", {"555"}},
                                           // The "1" is only skipped from 11 digits on.
                                           Case{T::AreaCode, "15551234", {"155"}},
                                           Case{T::AreaCode, "+44 20 7946 0958", {"442"}},
                                           Case{T::AreaCode, "12", {"12"}},
                                           Case{T::AreaCode, "a1b2", {"a1b2"}},
                                           Case{T::AreaCode, "", {""}},
                                           Case{T::AreaCode, "x123", {"123"}},
                                           Case{T::AreaCode, "1 (800) 555-0199 ext 1", {"800"}},
                                           // 11 digits without a leading "1".
                                           Case{T::AreaCode, "25551234567", {"255"}}));

INSTANTIATE_TEST_SUITE_P(Last4, Transformation,
                         ::testing::Values(Case{T::Last4, "555-123-4567", {"4567"}},
                                           Case{T::Last4, "123", {"123"}},
                                           Case{T::Last4, "a1234", {"1234"}},
                                           Case{T::Last4, "1-2-3-4-5", {"2345"}},
                                           Case{T::Last4, "no digits", {"no digits"}}));

INSTANTIATE_TEST_SUITE_P(Trigrams, Transformation,
                         ::testing::Values(Case{T::Trigrams, "Smith", {"Smi", "mit", "ith"}},
                                           Case{T::Trigrams, "90210", {"902", "021", "210"}},
                                           Case{T::Trigrams, "aaaa", {"aaa", "aaa"}},
                                           Case{T::Trigrams, "ab", {"ab"}},
                                           Case{T::Trigrams, "", {""}},
                                           Case{T::Trigrams, "Zoë", {"Zoë"}},
                                           Case{T::Trigrams, "Zoëy", {"Zoë", "oëy"}}));

// Normalizers; a value they reject goes on unchanged.
INSTANTIATE_TEST_SUITE_P(
    Normalizers, Transformation,
    ::testing::Values(Case{T::NormalizePhone, "(555) 123-4567", {"+15551234567"}},
                      Case{T::NormalizePhone, "12345", {"12345"}},
                      Case{T::NormalizePhone, "", {""}},
                      Case{T::NormalizeEmail, " John.Doe+News@Gmail.com", {"johndoe@gmail.com"}},
                      Case{T::NormalizeEmail, "No-At-Sign", {"No-At-Sign"}},
                      Case{T::NormalizeEmail, "@example.com", {"@example.com"}},
                      Case{T::NormalizeName, "  Jean \t PAUL\n", {"jean paul"}},
                      Case{T::NormalizeDomain, "HTTPS://WWW.Example.com/about", {"example.com"}}));

TEST(TextList, ClearKeepsStringsForReuse) {
    ve::TextList list;
    list.push(std::string(100, 'x'));
    const char* storage = list[0].data();
    list.clear();
    EXPECT_TRUE(list.empty());
    std::string& again = list.push();
    EXPECT_TRUE(again.empty());
    again = "short";
    EXPECT_EQ(list[0].data(), storage);  // same buffer, no new allocation
    list.push("b");
    list.push("c");
    list.truncate(2);
    EXPECT_EQ(Texts(list.begin(), list.end()), (Texts{"short", "b"}));
}

}  // namespace
