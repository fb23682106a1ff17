#include <gtest/gtest.h>

#include <set>
#include <string>

#include "engine/normalize/domain_normalizer.hpp"
#include "engine/normalize/email_normalizer.hpp"
#include "engine/normalize/name_normalizer.hpp"
#include "engine/normalize/nickname_normalizer.hpp"
#include "engine/normalize/normalizer.hpp"
#include "engine/normalize/phone_normalizer.hpp"
#include "engine/normalize/unicode_text.hpp"

using namespace velatro::engine;

namespace {

// Expected output, or the failure message when `fails` is set.
struct Case {
    std::string input;
    std::string expected;
    bool fails = false;
};

void check(const Normalizer& normalizer, const std::vector<Case>& cases) {
    for (const auto& c : cases) {
        SCOPED_TRACE("input: " + c.input.substr(0, 80));
        const NormalizeResult r = normalizer.normalize(c.input);
        if (c.fails) {
            EXPECT_FALSE(r.ok());
            EXPECT_EQ(r.error(), c.expected);
        } else {
            EXPECT_TRUE(r.ok()) << r.error();
            EXPECT_EQ(r.text(), c.expected);
        }
    }
}

Case fails(std::string input, std::string message) { return {std::move(input), std::move(message), true}; }

const std::string kLong(100 * 1024, 'A');
const std::string kLongLower(100 * 1024, 'a');

TEST(NameNormalizer, NfcLowercaseAndSpaces) {
    check(NameNormalizer{},
          {
              {"  Jean \t PAUL\n", "jean paul"},
              {"e\xCC\x81", "\xC3\xA9"},                 // e + combining acute -> é
              {"", ""},
              {" \t\n\v\f\r ", ""},
              {"\xE3\x80\x80\xC2\xA0", ""},              // ideographic space, no-break space
              {"Ann\xE2\x80\x83" "Lee\xC2\x85X", "ann lee x"},  // em space, next line
              {"O'Brien-Smith 3rd", "o'brien-smith 3rd"},
              {"\xEF\xAC\x81" "nn", "\xEF\xAC\x81" "nn"},  // ligature fi: no compatibility mapping
              {"\xC4\xB0" "STANBUL", "i\xCC\x87" "stanbul"},  // İ lowercases to i + dot above
              {"\xCE\x9F\xCE\x94\xCE\x9F\xCE\xA3 \xCE\xA3\xCE\x91", "\xCE\xBF\xCE\xB4\xCE\xBF\xCF\x82 \xCF\x83\xCE\xB1"},  // ΟΔΟΣ ΣΑ: final sigma
              {"\xE5\xB1\xB1\xE7\x94\xB0\xE3\x80\x80\xE5\xA4\xAA\xE9\x83\x8E", "\xE5\xB1\xB1\xE7\x94\xB0 \xE5\xA4\xAA\xE9\x83\x8E"},  // 山田　太郎
              {"\xD0\x98\xD0\x92\xD0\x90\xD0\x9D  \xD0\x9F\xD0\x95\xD0\xA2\xD0\xA0\xD0\x9E\xD0\x92", "\xD0\xB8\xD0\xB2\xD0\xB0\xD0\xBD \xD0\xBF\xD0\xB5\xD1\x82\xD1\x80\xD0\xBE\xD0\xB2"},
              {"\x1C\x1F", "\x1C\x1F"},  // information separators are not White_Space
              {kLong, kLongLower},
          });
}

// The ASCII fast paths must agree with the general path: appending one non-ASCII
// character sends the same text through ICU.
TEST(NameNormalizer, AsciiFastPathAgreesWithGeneralPath) {
    const std::string accent = "\xC3\xA9";
    for (const char* s : {"Jean PAUL", "  a\t\tB\n", "O'NEIL 3RD", "x", "\v\fZ\r", "~!@#$%^&*()_+{}|:<>?`-=[];',./"}) {
        SCOPED_TRACE(s);
        const std::string ascii = NameNormalizer{}.normalize(s).text();
        EXPECT_EQ(NameNormalizer{}.normalize(std::string(s) + " " + accent).text(), ascii + " " + accent);
    }
    for (const char* s : {"  WWW.Example.COM", "HTTP://A.B:80", "https://www.X", "Http:x"}) {
        SCOPED_TRACE(s);
        EXPECT_EQ(DomainNormalizer{}.normalize(std::string(s) + accent).text(),
                  DomainNormalizer{}.normalize(s).text() + accent);
    }
}

TEST(EmailNormalizer, GmailRulesAndFailures) {
    check(EmailNormalizer{},
          {
              {"  John.Doe@Example.COM \n", "john.doe@example.com"},
              {"John.Doe+News@gmail.com", "johndoe@gmail.com"},
              {"John.Doe+News@GoogleMail.com", "johndoe@googlemail.com"},
              {"John.Doe+News@example.com", "john.doe+news@example.com"},
              {"a.b+c+d@gmail.com", "ab@gmail.com"},
              {"john@doe@gmail.com", "john@doe@gmail.com"},  // domain is "doe@gmail.com"
              {"j.o@mail.gmail.com", "j.o@mail.gmail.com"},
              {"+tag@gmail.com", "@gmail.com"},
              {"\xC3\x89MILE@EXAMPLE.FR", "\xC3\xA9mile@example.fr"},
              fails("john@", "Invalid email format"),
              fails("@gmail.com", "Invalid email format"),
              fails("john.doe", "Invalid email format"),
              fails("", "Invalid email format"),
              fails("  @  ", "Invalid email format"),
              fails(kLong, "Invalid email format"),
          });
}

TEST(PhoneNormalizer, E164RulesAndFailures) {
    check(PhoneNormalizer{},
          {
              {"(555) 123-4567", "+15551234567"},
              {"15551234567", "+15551234567"},
              {"+44 20 7946 0958", "+442079460958"},
              {"+5", "+5"},
              {"  +1 (555) 123-4567 ext", "+15551234567"},
              {"0555123456", "+10555123456"},  // ten digits always get the 1
              {"123456789012345", "+123456789012345"},
              {"\xD9\xA1\xD9\xA2 5551234567", "+15551234567"},  // Arabic-Indic digits are dropped
              fails("05551234567", "Invalid E.164 format"),
              fails("+0123", "Invalid E.164 format"),
              fails("12345", "Too few digits for E.164"),
              fails("1234567890123456", "Too many digits for E.164"),
              fails("+1234567890123456", "Invalid E.164 format"),
              fails("abc", "No digits found"),
              fails("+", "No digits found"),
              fails("", "No digits found"),
              fails("1+2345", "Too few digits for E.164"),  // '+' must come first
              {"(+44) 20 7946 0958", "+442079460958"},  // a "+" after other text does not count
              fails(std::string(100 * 1024, '7'), "Too many digits for E.164"),
          });
}

TEST(DomainNormalizer, PrefixesAndPath) {
    check(DomainNormalizer{},
          {
              {"HTTPS://WWW.Example.COM/About/Us", "example.com"},
              {"www.example.com:8080", "example.com:8080"},
              {"ftp://example.com/file", "ftp:"},
              {"www.www.example.com", "www.example.com"},
              {"http://", ""},
              {"https://http://x.org/", "http:"},
              {"example.com?q=1", "example.com?q=1"},
              {"example.com.", "example.com."},
              {"  Http://Example.org  ", "example.org"},
              {"", ""},
              {"\xE2\x84\xAA" "ITCHEN.EXAMPLE", "kitchen.example"},  // Kelvin sign lowers to k
              {"HTTP://B\xC3\x9C" "CHER.DE/x", "b\xC3\xBC" "cher.de"},
              {kLong, kLongLower},
          });
}

TEST(NicknameNormalizer, WholeNameLookup) {
    check(NicknameNormalizer{},
          {
              {" BOBBY ", "robert"},
              {"Bob Smith", "bob smith"},
              {"Robert", "robert"},
              {"Liam", "william"},
              {"cathy", "catherine"},
              {"kathy", "katherine"},
              {"stephen", "steven"},
              {"abe", "abraham"},
              {"xander", "alexander"},
              {"Zebedee  Q", "zebedee q"},
              {"", ""},
              {"bobb", "bobb"},
          });
}

TEST(NicknameNormalizer, TableShape) {
    const auto table = nickname_table();
    EXPECT_EQ(table.size(), 128u);
    std::set<std::string_view> canonical;
    for (const auto& e : table) canonical.insert(e.canonical);
    EXPECT_EQ(canonical.size(), 61u);
    // One-way: no canonical name is itself a nickname.
    for (const auto& e : table) EXPECT_EQ(canonical.count(e.nickname), 0u) << e.nickname;
}

TEST(Normalizer, LookupByName) {
    const std::pair<const char*, std::string> cases[] = {
        {"name", "ann lee"}, {"email", "ann lee"},  // email fails: caller keeps the value
        {"phone", "ann lee"}, {"domain", "ann  lee"}, {"nickname", "ann lee"},
    };
    for (const auto& [name, expected] : cases) {
        const Normalizer* n = find_normalizer(name);
        ASSERT_NE(n, nullptr) << name;
        EXPECT_EQ(n->normalize(" Ann  Lee").text_or("ann lee"), expected) << name;
    }
    EXPECT_EQ(find_normalizer("Name"), nullptr);
    EXPECT_EQ(find_normalizer(""), nullptr);
    EXPECT_EQ(find_normalizer("zip"), nullptr);
    EXPECT_EQ(find_normalizer("phone")->normalize("x").text_or("x"), "x");
}

TEST(UnicodeText, TrimAndLowercase) {
    EXPECT_EQ(trim_white_space("\xE2\x80\xA8 a b \xE3\x80\x80"), "a b");
    EXPECT_EQ(trim_white_space("\xE2\x80\x8B" "a"), "\xE2\x80\x8B" "a");  // zero-width space is not White_Space
    EXPECT_EQ(trim_white_space(" \xC2\xA0 "), "");
    EXPECT_EQ(to_lowercase("ABC\xC3\x9F\xE1\xBA\x9E"), "abc\xC3\x9F\xC3\x9F");  // ẞ -> ß
    EXPECT_EQ(to_nfc("A\xCC\x8A"), "\xC3\x85");
    EXPECT_EQ(to_nfc("\xE2\x84\xAB"), "\xC3\x85");  // Angstrom sign has a canonical mapping
    // Malformed bytes are carried through, not dropped or crashed on.
    EXPECT_EQ(fold_white_space("a \xFF  b"), "a \xFF b");
}

}  // namespace
