#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/blocking/key_text.hpp"
#include "engine/blocking/text_list.hpp"

namespace ve = velatro::engine;

namespace {

using Texts = std::vector<std::string>;

enum class Kind { FirstInitial, AreaCode, Last4, Trigrams };

Texts run(Kind kind, std::string_view value) {
    ve::TextList out;
    switch (kind) {
        case Kind::FirstInitial: out.push(ve::first_initial(value)); break;
        case Kind::AreaCode: ve::area_code(value, out.push()); break;
        case Kind::Last4: ve::last4(value, out.push()); break;
        case Kind::Trigrams: ve::append_trigrams(value, out); break;
    }
    return Texts(out.begin(), out.end());
}

struct Case {
    Kind kind;
    std::string_view value;
    Texts expected;
};

class KeyText : public ::testing::TestWithParam<Case> {};

TEST_P(KeyText, GivesExpectedResults) {
    EXPECT_EQ(run(GetParam().kind, GetParam().value), GetParam().expected) << GetParam().value;
}

INSTANTIATE_TEST_SUITE_P(
    Table, KeyText,
    ::testing::Values(
        Case{Kind::FirstInitial, "Smith", {"S"}}, Case{Kind::FirstInitial, "smith", {"s"}},
        Case{Kind::FirstInitial, "90210", {"9"}}, Case{Kind::FirstInitial, "", {""}},
        Case{Kind::FirstInitial, "Élodie", {"É"}}, Case{Kind::FirstInitial, " x", {" "}},
        Case{Kind::AreaCode, "(555) 123-4567", {"555"}},
        Case{Kind::AreaCode, "+1 555 123 4567", {"555"}},
        Case{Kind::AreaCode, "15551234", {"155"}},  // the "1" is only skipped from 11 digits
        Case{Kind::AreaCode, "+44 20 7946 0958", {"442"}},
        Case{Kind::AreaCode, "12", {"12"}}, Case{Kind::AreaCode, "a1b2", {"a1b2"}},
        Case{Kind::AreaCode, "", {""}}, Case{Kind::AreaCode, "x123", {"123"}},
        Case{Kind::AreaCode, "1 (800) 555-0199 ext 1", {"800"}},
        Case{Kind::AreaCode, "25551234567", {"255"}},  // 11 digits, but no leading "1"
        Case{Kind::Last4, "555-123-4567", {"4567"}}, Case{Kind::Last4, "123", {"123"}},
        Case{Kind::Last4, "a1234", {"1234"}}, Case{Kind::Last4, "1-2-3-4-5", {"2345"}},
        Case{Kind::Last4, "no digits", {"no digits"}},
        Case{Kind::Trigrams, "Smith", {"Smi", "mit", "ith"}},
        Case{Kind::Trigrams, "90210", {"902", "021", "210"}},
        Case{Kind::Trigrams, "aaaa", {"aaa", "aaa"}}, Case{Kind::Trigrams, "ab", {"ab"}},
        Case{Kind::Trigrams, "", {""}}, Case{Kind::Trigrams, "Zoë", {"Zoë"}},
        Case{Kind::Trigrams, "Zoëy", {"Zoë", "oëy"}}));

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
