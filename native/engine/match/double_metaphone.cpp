#include "engine/match/double_metaphone.hpp"

#include <initializer_list>
#include <utility>

#include "engine/match/char_text.hpp"
#include "engine/match/text_services.hpp"
#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {

namespace {

constexpr std::size_t kMaxCode = 4;
constexpr char32_t kCedilla = U'\u00C7';  // Ç
constexpr char32_t kTilde = U'\u00D1';    // Ñ

class Encoder {
  public:
    explicit Encoder(std::u32string word)
        : s_(std::move(word)), length_(static_cast<int>(s_.size())) {
        last_ = length_ - 1;
        // Padding lets the rules look a few characters past the end, where they see
        // blanks: "IER " matches at the end of a word.
        s_.append(5, U' ');
        slavo_germanic_ = contains(U"W") || contains(U"K") || contains(U"CZ") || contains(U"WITZ");
    }

    MetaphoneCodes run();

  private:
    char32_t at(int i) const {
        return i < 0 || i >= static_cast<int>(s_.size()) ? 0 : s_[static_cast<std::size_t>(i)];
    }
    bool vowel(int i) const {
        if (i < 0 || i >= length_) return false;
        const char32_t c = s_[static_cast<std::size_t>(i)];
        return c == U'A' || c == U'E' || c == U'I' || c == U'O' || c == U'U' || c == U'Y';
    }
    bool contains(std::u32string_view part) const {
        return std::u32string_view(s_).substr(0, static_cast<std::size_t>(length_)).find(part) !=
               std::u32string_view::npos;
    }
    // True when one of the options (all of one length) stands at position start.
    bool string_at(int start, std::initializer_list<std::string_view> options) const {
        if (start < 0) return false;
        for (std::string_view option : options) {
            bool same = true;
            for (std::size_t k = 0; same && k < option.size(); ++k)
                same = at(start + static_cast<int>(k)) == static_cast<char32_t>(option[k]);
            if (same) return true;
        }
        return false;
    }
    void add(std::string_view both) {
        primary_ += both;
        alternate_ += both;
    }
    // An alternate of " " means the alternate pronunciation drops the sound.
    void add(std::string_view main, std::string_view alt) {
        primary_ += main;
        if (!alt.empty()) {
            if (alt[0] != ' ') alternate_ += alt;
        } else if (!main.empty() && main[0] != ' ') {
            alternate_ += main;
        }
    }
    bool germanic_start() const { return string_at(0, {"VAN ", "VON "}) || string_at(0, {"SCH"}); }

    int letter_c(int current);
    int letter_g(int current);
    int letter_j(int current);
    int letter_s(int current);
    int letter_w(int current);

    std::u32string s_;
    int length_;
    int last_;
    bool slavo_germanic_;
    std::string primary_, alternate_;
};

int Encoder::letter_c(int current) {
    // Germanic "ach" as in bacher and macher.
    if (current > 1 && !vowel(current - 2) && string_at(current - 1, {"ACH"}) &&
        at(current + 2) != U'I' &&
        (at(current + 2) != U'E' || string_at(current - 2, {"BACHER", "MACHER"}))) {
        add("K");
        return current + 2;
    }
    if (current == 0 && string_at(current, {"CAESAR"})) {
        add("S");
        return current + 2;
    }
    if (string_at(current, {"CHIA"})) {  // Italian chianti
        add("K");
        return current + 2;
    }
    if (string_at(current, {"CH"})) {
        if (current > 0 && string_at(current, {"CHAE"})) {  // michael
            add("K", "X");
            return current + 2;
        }
        // Greek roots: chemistry, chorus, but not chore.
        if (current == 0 &&
            (string_at(current + 1, {"HARAC", "HARIS"}) ||
             string_at(current + 1, {"HOR", "HYM", "HIA", "HEM"})) &&
            !string_at(0, {"CHORE"})) {
            add("K");
            return current + 2;
        }
        if (germanic_start() || string_at(current - 2, {"ORCHES", "ARCHIT", "ORCHID"}) ||
            string_at(current + 2, {"T", "S"}) ||
            ((string_at(current - 1, {"A", "O", "U", "E"}) || current == 0) &&
             string_at(current + 2, {"L", "R", "N", "M", "B", "H", "F", "V", "W", " "}))) {
            add("K");
        } else if (current > 0) {
            if (string_at(0, {"MC"}))
                add("K");
            else
                add("X", "K");
        } else {
            add("X");
        }
        return current + 2;
    }
    if (string_at(current, {"CZ"}) && !string_at(current - 2, {"WICZ"})) {  // czerny
        add("S", "X");
        return current + 2;
    }
    if (string_at(current + 1, {"CIA"})) {  // focaccia
        add("X");
        return current + 3;
    }
    if (string_at(current, {"CC"}) && !(current == 1 && at(0) == U'M')) {  // not McClellan
        if (string_at(current + 2, {"I", "E", "H"}) && !string_at(current + 2, {"HU"})) {
            // accident, accede, succeed; otherwise Italian bacci, bertucci
            if ((current == 1 && at(current - 1) == U'A') ||
                string_at(current - 1, {"UCCEE", "UCCES"}))
                add("KS");
            else
                add("X");
            return current + 3;
        }
        add("K");
        return current + 2;
    }
    if (string_at(current, {"CK", "CG", "CQ"})) {
        add("K");
        return current + 2;
    }
    if (string_at(current, {"CI", "CE", "CY"})) {
        if (string_at(current, {"CIO", "CIE", "CIA"}))
            add("S", "X");
        else
            add("S");
        return current + 2;
    }
    add("K");
    if (string_at(current + 1, {" C", " Q", " G"})) return current + 3;  // mac caffrey
    if (string_at(current + 1, {"C", "K", "Q"}) && !string_at(current + 1, {"CE", "CI"}))
        return current + 2;
    return current + 1;
}

int Encoder::letter_g(int current) {
    if (at(current + 1) == U'H') {
        if (current > 0 && !vowel(current - 1)) {
            add("K");
            return current + 2;
        }
        if (current == 0) {  // ghislane, ghiradelli
            add(at(current + 2) == U'I' ? "J" : "K");
            return current + 2;
        }
        // Parker's rule: hugh, bough, broughton are silent.
        if ((current > 1 && string_at(current - 2, {"B", "H", "D"})) ||
            (current > 2 && string_at(current - 3, {"B", "H", "D"})) ||
            (current > 3 && string_at(current - 4, {"B", "H"})))
            return current + 2;
        // laugh, McLaughlin, cough, gough, rough, tough
        if (current > 2 && at(current - 1) == U'U' &&
            string_at(current - 3, {"C", "G", "L", "R", "T"}))
            add("F");
        else if (current > 0 && at(current - 1) != U'I')
            add("K");
        return current + 2;
    }
    if (at(current + 1) == U'N') {
        if (current == 1 && vowel(0) && !slavo_germanic_)
            add("KN", "N");
        else if (!string_at(current + 2, {"EY"}) && at(current + 1) != U'Y' && !slavo_germanic_)
            add("N", "KN");  // not cagney
        else
            add("KN");
        return current + 2;
    }
    if (string_at(current + 1, {"LI"}) && !slavo_germanic_) {  // tagliaro
        add("KL", "L");
        return current + 2;
    }
    // -ges-, -gep-, -gel-, -gie- at the beginning
    if (current == 0 &&
        (at(current + 1) == U'Y' || string_at(current + 1, {"ES", "EP", "EB", "EL", "EY", "IB",
                                                            "IL", "IN", "IE", "EI", "ER"}))) {
        add("K", "J");
        return current + 2;
    }
    // -ger-, -gy-
    if ((string_at(current + 1, {"ER"}) || at(current + 1) == U'Y') &&
        !string_at(0, {"DANGER", "RANGER", "MANGER"}) && !string_at(current - 1, {"E", "I"}) &&
        !string_at(current - 1, {"RGY", "OGY"})) {
        add("K", "J");
        return current + 2;
    }
    // Italian biaggi
    if (string_at(current + 1, {"E", "I", "Y"}) || string_at(current - 1, {"AGGI", "OGGI"})) {
        if (germanic_start() || string_at(current + 1, {"ET"}))
            add("K");
        else if (string_at(current + 1, {"IER "}))  // a French ending is always soft
            add("J");
        else
            add("J", "K");
        return current + 2;
    }
    add("K");
    return at(current + 1) == U'G' ? current + 2 : current + 1;
}

int Encoder::letter_j(int current) {
    // Spanish jose, san jacinto
    if (string_at(current, {"JOSE"}) || string_at(0, {"SAN "})) {
        if ((current == 0 && at(current + 4) == U' ') || string_at(0, {"SAN "}))
            add("H");
        else
            add("J", "H");
        return current + 1;
    }
    if (current == 0 && !string_at(current, {"JOSE"})) {
        add("J", "A");  // Yankelovich, Jankelowicz
    } else if (vowel(current - 1) && !slavo_germanic_ &&
               (at(current + 1) == U'A' || at(current + 1) == U'O')) {
        add("J", "H");  // Spanish bajador
    } else if (current == last_) {
        add("J", " ");
    } else if (!string_at(current + 1, {"L", "T", "K", "S", "N", "M", "B", "Z"}) &&
               !string_at(current - 1, {"S", "K", "L"})) {
        add("J");
    }
    return at(current + 1) == U'J' ? current + 2 : current + 1;
}

int Encoder::letter_s(int current) {
    if (string_at(current - 1, {"ISL", "YSL"})) return current + 1;  // island, carlisle
    if (current == 0 && string_at(current, {"SUGAR"})) {
        add("X", "S");
        return current + 1;
    }
    if (string_at(current, {"SH"})) {
        add(string_at(current + 1, {"HEIM", "HOEK", "HOLM", "HOLZ"}) ? "S" : "X");
        return current + 2;
    }
    // Italian and Armenian
    if (string_at(current, {"SIO", "SIA"}) || string_at(current, {"SIAN"})) {
        if (!slavo_germanic_)
            add("S", "X");
        else
            add("S");
        return current + 3;
    }
    // smith against schmidt, snider against schneider; Slavic -sz-
    if ((current == 0 && string_at(current + 1, {"M", "N", "L", "W"})) ||
        string_at(current + 1, {"Z"})) {
        add("S", "X");
        return string_at(current + 1, {"Z"}) ? current + 2 : current + 1;
    }
    if (string_at(current, {"SC"})) {
        if (at(current + 2) == U'H') {  // Schlesinger's rule
            if (string_at(current + 3, {"OO", "ER", "EN", "UY", "ED", "EM"})) {
                // Dutch school, schooner; schermerhorn, schenker
                if (string_at(current + 3, {"ER", "EN"}))
                    add("X", "SK");
                else
                    add("SK");
                return current + 3;
            }
            if (current == 0 && !vowel(3) && at(3) != U'W')
                add("X", "S");
            else
                add("X");
            return current + 3;
        }
        add(string_at(current + 2, {"I", "E", "Y"}) ? "S" : "SK");
        return current + 3;
    }
    if (current == last_ && string_at(current - 2, {"AI", "OI"}))  // French resnais, artois
        add("", "S");
    else
        add("S");
    return string_at(current + 1, {"S", "Z"}) ? current + 2 : current + 1;
}

int Encoder::letter_w(int current) {
    if (string_at(current, {"WR"})) {
        add("R");
        return current + 2;
    }
    if (current == 0 && (vowel(current + 1) || string_at(current, {"WH"}))) {
        // Wasserman against Vasserman; Uomo against Womo
        if (vowel(current + 1))
            add("A", "F");
        else
            add("A");
    }
    // Arnow against Arnoff
    if ((current == last_ && vowel(current - 1)) ||
        string_at(current - 1, {"EWSKI", "EWSKY", "OWSKI", "OWSKY"}) || string_at(0, {"SCH"})) {
        add("", "F");
        return current + 1;
    }
    if (string_at(current, {"WICZ", "WITZ"})) {  // Polish filipowicz
        add("TS", "FX");
        return current + 4;
    }
    return current + 1;
}

MetaphoneCodes Encoder::run() {
    if (length_ == 0) return {};
    int current = 0;
    if (string_at(0, {"GN", "KN", "PN", "WR", "PS"})) current += 1;
    if (at(0) == U'X') {  // Xavier
        add("S");
        current += 1;
    }
    while ((primary_.size() < kMaxCode || alternate_.size() < kMaxCode) && current < length_) {
        const char32_t c = at(current);
        switch (c) {
            case U'A':
            case U'E':
            case U'I':
            case U'O':
            case U'U':
            case U'Y':
                if (current == 0) add("A");
                current += 1;
                break;
            case U'B':
                add("P");
                current += at(current + 1) == U'B' ? 2 : 1;
                break;
            case kCedilla:
                add("S");
                current += 1;
                break;
            case U'C':
                current = letter_c(current);
                break;
            case U'D':
                if (string_at(current, {"DG"})) {
                    if (string_at(current + 2, {"I", "E", "Y"})) {  // edge
                        add("J");
                        current += 3;
                    } else {  // edgar
                        add("TK");
                        current += 2;
                    }
                } else {
                    add("T");
                    current += string_at(current, {"DT", "DD"}) ? 2 : 1;
                }
                break;
            case U'F':
                add("F");
                current += at(current + 1) == U'F' ? 2 : 1;
                break;
            case U'G':
                current = letter_g(current);
                break;
            case U'H':
                // Kept only first or between vowels (and before one).
                if ((current == 0 || vowel(current - 1)) && vowel(current + 1)) {
                    add("H");
                    current += 2;
                } else {
                    current += 1;
                }
                break;
            case U'J':
                current = letter_j(current);
                break;
            case U'K':
                add("K");
                current += at(current + 1) == U'K' ? 2 : 1;
                break;
            case U'L':
                if (at(current + 1) == U'L') {
                    // Spanish cabrillo, gallegos
                    if ((current == length_ - 3 &&
                         string_at(current - 1, {"ILLO", "ILLA", "ALLE"})) ||
                        ((string_at(last_ - 1, {"AS", "OS"}) || string_at(last_, {"A", "O"})) &&
                         string_at(current - 1, {"ALLE"}))) {
                        add("L", " ");
                        current += 2;
                        break;
                    }
                    current += 2;
                } else {
                    current += 1;
                }
                add("L");
                break;
            case U'M':
                // dumb, thumb
                if ((string_at(current - 1, {"UMB"}) &&
                     (current + 1 == last_ || string_at(current + 2, {"ER"}))) ||
                    at(current + 1) == U'M')
                    current += 2;
                else
                    current += 1;
                add("M");
                break;
            case U'N':
                add("N");
                current += at(current + 1) == U'N' ? 2 : 1;
                break;
            case kTilde:
                add("N");
                current += 1;
                break;
            case U'P':
                if (at(current + 1) == U'H') {
                    add("F");
                    current += 2;
                } else {
                    // campbell, raspberry
                    add("P");
                    current += string_at(current + 1, {"P", "B"}) ? 2 : 1;
                }
                break;
            case U'Q':
                add("K");
                current += at(current + 1) == U'Q' ? 2 : 1;
                break;
            case U'R':
                // French rogier, but not hochmeier
                if (current == last_ && !slavo_germanic_ && string_at(current - 2, {"IE"}) &&
                    !string_at(current - 4, {"ME", "MA"}))
                    add("", "R");
                else
                    add("R");
                current += at(current + 1) == U'R' ? 2 : 1;
                break;
            case U'S':
                current = letter_s(current);
                break;
            case U'T':
                if (string_at(current, {"TION"}) || string_at(current, {"TIA", "TCH"})) {
                    add("X");
                    current += 3;
                } else if (string_at(current, {"TH"}) || string_at(current, {"TTH"})) {
                    // thomas, thames, or Germanic
                    if (string_at(current + 2, {"OM", "AM"}) || germanic_start())
                        add("T");
                    else
                        add("0", "T");
                    current += 2;
                } else {
                    add("T");
                    current += string_at(current + 1, {"T", "D"}) ? 2 : 1;
                }
                break;
            case U'V':
                add("F");
                current += at(current + 1) == U'V' ? 2 : 1;
                break;
            case U'W':
                current = letter_w(current);
                break;
            case U'X':
                // French breaux
                if (!(current == last_ && (string_at(current - 3, {"IAU", "EAU"}) ||
                                           string_at(current - 2, {"AU", "OU"}))))
                    add("KS");
                current += string_at(current + 1, {"C", "X"}) ? 2 : 1;
                break;
            case U'Z':
                if (at(current + 1) == U'H') {  // Chinese pinyin zhao
                    add("J");
                    current += 2;
                    break;
                }
                if (string_at(current + 1, {"ZO", "ZI", "ZA"}) ||
                    (slavo_germanic_ && current > 0 && at(current - 1) != U'T'))
                    add("S", "TS");
                else
                    add("S");
                current += at(current + 1) == U'Z' ? 2 : 1;
                break;
            default:
                current += 1;
                break;
        }
    }
    if (primary_.size() > kMaxCode) primary_.resize(kMaxCode);
    if (alternate_.size() > kMaxCode) alternate_.resize(kMaxCode);
    return {std::move(primary_), std::move(alternate_)};
}

}  // namespace

MetaphoneCodes double_metaphone(std::string_view value) {
    const std::string_view trimmed = trim_white_space(value);
    return Encoder(to_upper(decode_utf8(trimmed))).run();
}

double metaphone_agreement(const MetaphoneCodes& a, const MetaphoneCodes& b) noexcept {
    return metaphone_agreement(a.primary, a.alternate, b.primary, b.alternate);
}

double metaphone_agreement(std::string_view a_primary, std::string_view a_alternate,
                           std::string_view b_primary, std::string_view b_alternate) noexcept {
    if (a_primary == b_primary) return 1.0;
    if (a_primary == b_alternate || a_alternate == b_primary) return 0.5;
    return 0.0;
}

}  // namespace velatro::engine
