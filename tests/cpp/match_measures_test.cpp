// Similarity measures and phonetic codes, against published examples and against plain
// textbook versions of the same measures on random inputs.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "document/float_text.hpp"
#include "engine/match/bigram_cosine.hpp"
#include "engine/match/char_text.hpp"
#include "engine/match/double_metaphone.hpp"
#include "engine/match/float_syntax.hpp"
#include "engine/match/haversine.hpp"
#include "engine/match/jaro_winkler.hpp"
#include "engine/match/levenshtein.hpp"
#include "engine/match/score_text.hpp"
#include "engine/match/soundex.hpp"

namespace velatro::engine {
namespace {

// Textbook Jaro-Winkler: quadratic scan with flag arrays.
double reference_jaro_winkler(const std::u32string& a, const std::u32string& b) {
    const std::size_t la = a.size(), lb = b.size();
    double jaro;
    if (la == 0 && lb == 0) {
        jaro = 1.0;
    } else if (la == 0 || lb == 0) {
        jaro = 0.0;
    } else {
        std::size_t w = std::max(la, lb) / 2;
        w = w > 0 ? w - 1 : 0;
        std::vector<bool> fa(la), fb(lb);
        std::size_t m = 0;
        for (std::size_t i = 0; i < la; ++i) {
            const std::size_t lo = i > w ? i - w : 0;
            for (std::size_t j = lo; j < lb && j <= i + w; ++j) {
                if (!fb[j] && a[i] == b[j]) {
                    fa[i] = fb[j] = true;
                    ++m;
                    break;
                }
            }
        }
        if (m == 0) {
            jaro = 0.0;
        } else {
            std::size_t t = 0, j = 0;
            for (std::size_t i = 0; i < la; ++i) {
                if (!fa[i]) continue;
                while (!fb[j]) ++j;
                if (a[i] != b[j]) ++t;
                ++j;
            }
            t /= 2;
            const double md = static_cast<double>(m);
            jaro = (md / static_cast<double>(la) + md / static_cast<double>(lb) +
                    static_cast<double>(m - t) / md) /
                   3.0;
        }
    }
    if (!(jaro > 0.7)) return jaro;
    std::size_t p = 0;
    while (p < 4 && p < la && p < lb && a[p] == b[p]) ++p;
    return jaro + 0.1 * static_cast<double>(p) * (1.0 - jaro);
}

std::size_t reference_levenshtein(const std::u32string& a, const std::u32string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diag = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t up = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] != b[j - 1])});
            diag = up;
        }
    }
    return row[b.size()];
}

// Random text over a small alphabet (so characters repeat and match), optionally with
// non-Latin characters mixed in.
std::string random_text(std::mt19937& rng, std::size_t max_len, bool wide) {
    static const char* const kPieces[] = {
        "a", "b", "c", "d", "e", "\xc3\xa9", "\xd0\x96", "\xe4\xb8\xad", "\xf0\x9f\x98\x80"};
    const std::size_t len = std::uniform_int_distribution<std::size_t>(0, max_len)(rng);
    std::uniform_int_distribution<int> pick(0, wide ? 8 : 4);
    std::string out;
    for (std::size_t i = 0; i < len; ++i) out += kPieces[pick(rng)];
    return out;
}

TEST(JaroWinkler, PublishedExamples) {
    struct Case {
        const char *a, *b;
        double expected;
    };
    const Case cases[] = {
        {"MARTHA", "MARHTA", 0.9611111111111111},
        {"DIXON", "DICKSONX", 0.8133333333333332},
        {"DWAYNE", "DUANE", 0.84},
        {"JELLYFISH", "SMELLYFISH", 0.8962962962962964},
        {"", "", 1.0},
        {"", "a", 0.0},
        {"a", "", 0.0},
        {"abc", "xyz", 0.0},
    };
    for (const auto& c : cases) EXPECT_NEAR(jaro_winkler(c.a, c.b), c.expected, 1e-15) << c.a;
    EXPECT_NEAR(jaro("MARTHA", "MARHTA"), 0.9444444444444445, 1e-15);
    // Characters, not bytes: one accented letter differs by one character.
    EXPECT_EQ(jaro_winkler("caf\xc3\xa9", "cafe"), jaro_winkler("cafx", "cafe"));
}

TEST(JaroWinkler, AgreesWithTextbookVersionOnRandomInputs) {
    std::mt19937 rng(7);
    for (int round = 0; round < 4000; ++round) {
        const bool wide = round % 3 == 0;
        const std::size_t max_len = round % 5 == 0 ? 200 : 20;
        const std::string a = random_text(rng, max_len, wide);
        const std::string b = random_text(rng, max_len, round % 2 == 0 && wide);
        const double expected = reference_jaro_winkler(decode_utf8(a), decode_utf8(b));
        ASSERT_EQ(jaro_winkler(a, b), expected) << a << " / " << b;
        ASSERT_EQ(jaro_winkler(CharText(a), CharText(b)), expected);
    }
}

TEST(Levenshtein, Examples) {
    EXPECT_EQ(levenshtein_distance("kitten", "sitting"), 3u);
    EXPECT_EQ(levenshtein_distance("flaw", "lawn"), 2u);
    EXPECT_EQ(normalized_levenshtein("flaw", "lawn"), 0.5);
    EXPECT_EQ(normalized_levenshtein("", ""), 1.0);
    EXPECT_EQ(normalized_levenshtein("", "a"), 0.0);
    EXPECT_EQ(levenshtein_distance("\xc3\xa9t\xc3\xa9", "ete"), 2u);
    EXPECT_EQ(levenshtein_distance("\xe4\xb8\xad\xe6\x96\x87", "\xe4\xb8\xad"), 1u);
}

TEST(Levenshtein, AgreesWithTextbookVersionOnRandomInputs) {
    std::mt19937 rng(11);
    for (int round = 0; round < 3000; ++round) {
        const bool wide = round % 3 == 0;
        // Lengths around and beyond one 64-bit block exercise the multi-block path.
        const std::size_t max_len = round % 4 == 0 ? 300 : 70;
        const std::string a = random_text(rng, max_len, wide);
        const std::string b = random_text(rng, max_len, round % 2 == 0 && wide);
        const auto wa = decode_utf8(a), wb = decode_utf8(b);
        const std::size_t d = reference_levenshtein(wa, wb);
        ASSERT_EQ(levenshtein_distance(a, b), d) << a << " / " << b;
        const double expected = wa.empty() && wb.empty()
                                    ? 1.0
                                    : 1.0 - static_cast<double>(d) /
                                                static_cast<double>(std::max(wa.size(), wb.size()));
        ASSERT_EQ(normalized_levenshtein(CharText(a), CharText(b)), expected);
    }
}

TEST(Measures, HundredKilobyteValuesStayFastAndCorrect) {
    const std::string a(100'000, 'a');
    std::string b = a;
    b[50'000] = 'b';
    const std::string c(100'000, 'c');
    EXPECT_EQ(levenshtein_distance(a, b), 1u);
    EXPECT_EQ(levenshtein_distance(a, c), 100'000u);
    EXPECT_EQ(jaro_winkler(a, c), 0.0);
    EXPECT_GT(jaro_winkler(a, b), 0.99);
    EXPECT_EQ(bigram_cosine(a, a), 1.0);
    EXPECT_EQ(soundex(c), "C000");
    std::string wide;
    for (int i = 0; i < 25'000; ++i) wide += "\xe4\xb8\xad";
    EXPECT_EQ(levenshtein_distance(wide, a), 100'000u);
    EXPECT_EQ(jaro_winkler(wide, wide), 1.0);
}

TEST(Soundex, PublishedExamples) {
    struct Case {
        const char *value, *code;
    };
    const Case cases[] = {
        {"Robert", "R163"},
        {"Rupert", "R163"},
        {"Ashcraft", "A261"},
        {"Ashcroft", "A261"},
        {"Tymczak", "T522"},
        {"Pfister", "P236"},
        {"Rubin", "R150"},
        {"Honeyman", "H555"},
        {"Lee", "L000"},
        {"Gutierrez", "G362"},
        {"Jackson", "J250"},
        {"  o'Hara-2 ", "O600"},
        {"123", ""},
        {"", ""},
        // Letters outside A to Z separate like vowels; ß upper-cases to SS.
        {"Stra\xc3\x9f"
         "e",
         "S362"},
        {"\xc3\x89mile",
         "\xc3\x89"
         "540"},
    };
    for (const auto& c : cases) EXPECT_EQ(soundex(c.value), c.code) << c.value;
}

TEST(DoubleMetaphone, PublishedExamples) {
    struct Case {
        const char *value, *primary, *alternate;
    };
    const Case cases[] = {
        {"Smith", "SM0", "XMT"},
        {"Schmidt", "XMT", "SMT"},
        {"Michael", "MKL", "MXL"},
        {"Xavier", "SF", "SFR"},
        {"Knight", "NT", "NT"},
        {"Arnow", "ARN", "ARNF"},
        {"Arnoff", "ARNF", "ARNF"},
        {"Caesar", "SSR", "SSR"},
        {"Jose", "HS", "HS"},
        {"Schneider", "XNTR", "SNTR"},
        {"Gough", "KF", "KF"},
        {"Edge", "AJ", "AJ"},
        {"Dumb", "TM", "TM"},
        {"Campbell", "KMPL", "KMPL"},
        {"Thomas", "TMS", "TMS"},
        {"Wasserman", "ASRM", "FSRM"},
        {" thompson ", "TMPS", "TMPS"},
        {"", "", ""},
        {"   ", "", ""},
        {"Filipowicz", "FLPT", "FLPF"},
        {"Bacchus", "PKS", "PKS"},
        {"Cabrillo", "KPRL", "KPR"},
        {"Chorus", "KRS", "KRS"},
        {"Gnome", "NM", "NM"},
        {"Jankelowicz", "JNKL", "ANKL"},
        {"Gallegos", "KLKS", "KKS"},
        {"Thumb", "0M", "TM"},
        {"Ghislane", "JLN", "JLN"},
        {"Tichner", "TXNR", "TKNR"},
        {"Focaccia", "FKX", "FKX"},
        {"fran\xc3\xa7"
         "ois",
         "FRNS", "FRNS"},  // lower-case c cedilla upper-cases first
        {"Pe\xc3\xb1"
         "a",
         "PN", "PN"},
    };
    for (const auto& c : cases) {
        const MetaphoneCodes codes = double_metaphone(c.value);
        EXPECT_EQ(codes.primary, c.primary) << c.value;
        EXPECT_EQ(codes.alternate, c.alternate) << c.value;
    }
}

TEST(DoubleMetaphone, Agreement) {
    const MetaphoneCodes smith = double_metaphone("Smith");
    const MetaphoneCodes schmidt = double_metaphone("Schmidt");
    EXPECT_EQ(metaphone_agreement(smith, smith), 1.0);
    EXPECT_EQ(metaphone_agreement(smith, schmidt), 0.5);  // SM0/XMT against XMT/SMT
    EXPECT_EQ(metaphone_agreement({"A", "X"}, {"B", "X"}), 0.0);
}

TEST(BigramCosine, Examples) {
    EXPECT_EQ(bigram_cosine("ab", "ab"), 1.0);
    EXPECT_EQ(bigram_cosine("a", "a"), 0.0);
    EXPECT_EQ(bigram_cosine("", "ab"), 0.0);
    EXPECT_EQ(bigram_cosine("abab", "ab"), 2.0 / (std::sqrt(5.0) * std::sqrt(1.0)));
    EXPECT_EQ(bigram_cosine("Ab", "ab"), 0.0);
    // Bigrams of characters: two two-character non-Latin texts share their one bigram.
    EXPECT_EQ(bigram_cosine("\xe4\xb8\xad\xe6\x96\x87", "\xe4\xb8\xad\xe6\x96\x87"), 1.0);
}

TEST(FloatSyntax, AcceptsDecimalsAndWordsOnly) {
    EXPECT_EQ(parse_float("104.5"), 104.5);
    EXPECT_EQ(parse_float("+1e3"), 1000.0);
    EXPECT_EQ(parse_float("-.5"), -0.5);
    EXPECT_EQ(parse_float("5."), 5.0);
    EXPECT_EQ(parse_float("1e400"), INFINITY);
    EXPECT_EQ(parse_float("-1e-400"), 0.0);
    EXPECT_EQ(parse_float("0.000000001e-400"), 0.0);
    EXPECT_EQ(parse_float("-Infinity"), -INFINITY);
    EXPECT_EQ(parse_float("INF"), INFINITY);
    EXPECT_TRUE(std::isnan(*parse_float("NaN")));
    for (const char* bad : {"", " 104", "104 ", ".", "e5", "1e", "1e+", "0x10", "1_000", "+", "--1",
                            "nan(1)", "infinit", "1,5"})
        EXPECT_FALSE(parse_float(bad).has_value()) << bad;
}

TEST(Haversine, ParsesAndMeasures) {
    const auto a = parse_latlon(
        " 48.8566 ,\xc2\xa0"
        "2.3522");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->lat, 48.8566);
    EXPECT_EQ(a->lon, 2.3522);
    for (const char* bad : {"91,0", "10;20", "1,2,3", "0,181", "nan,0", "inf,0", "1,", ""})
        EXPECT_FALSE(parse_latlon(bad)) << bad;
    EXPECT_EQ(haversine_km({1, 2}, {1, 2}), 0.0);
    // One degree of latitude is 6371 * pi / 180 km.
    EXPECT_NEAR(haversine_km({0, 0}, {1, 0}), 111.19492664455873, 1e-9);
}

TEST(ScoreText, SameAsPrintfTwoDecimals) {
    auto fast = [](double v) {
        std::string out;
        append_two_decimals(out, v);
        return out;
    };
    for (double v :
         {0.0, -0.0, 0.125, 0.375, 2.675, 0.005, 0.015, 0.995, 1.0, -0.001, 15.000000001,
          0.9611111111111111, 1e14 + 0.125, 1e15, 1e300, double(INFINITY), double(NAN), 5e-324})
        EXPECT_EQ(fast(v), document::two_decimals(v)) << v;
    std::mt19937_64 rng(9);
    for (int i = 0; i < 200000; ++i) {
        // Random bit patterns over a range of magnitudes, and exact ties k/8.
        double v = std::bit_cast<double>(rng());
        if (!std::isfinite(v) || std::fabs(v) > 1e16) v = static_cast<double>(rng() % 100000) / 8.0;
        ASSERT_EQ(fast(v), document::two_decimals(v)) << v;
    }
}

}  // namespace
}  // namespace velatro::engine
