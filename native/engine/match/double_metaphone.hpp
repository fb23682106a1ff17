#pragma once
// Double Metaphone phonetic codes: a primary code and an alternate code for a second
// plausible pronunciation, each at most four characters. The value is trimmed and
// upper-cased first; an empty value has empty codes.
#include <string>
#include <string_view>

namespace velatro::engine {

struct MetaphoneCodes {
    std::string primary;
    std::string alternate;
    friend bool operator==(const MetaphoneCodes&, const MetaphoneCodes&) = default;
};

MetaphoneCodes double_metaphone(std::string_view value);

// 1.0 when the primary codes agree, 0.5 when one primary code equals the other value's
// alternate code, else 0.0 (equal alternates alone do not count).
double metaphone_agreement(const MetaphoneCodes& a, const MetaphoneCodes& b) noexcept;
// The same over codes held elsewhere (primary and alternate of each value).
double metaphone_agreement(std::string_view a_primary, std::string_view a_alternate,
                           std::string_view b_primary, std::string_view b_alternate) noexcept;

}  // namespace velatro::engine
