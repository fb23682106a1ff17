#include "engine/normalize/phone_normalizer.hpp"

#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {
namespace {

constexpr std::size_t kMaxE164Digits = 15;
// A bare ten-digit number is a North American one: country code 1.
constexpr std::size_t kNationalDigits = 10;

}  // namespace

NormalizeResult PhoneNormalizer::normalize(std::string_view text) const {
    const std::string_view trimmed = trim_white_space(text);
    const bool plus = !trimmed.empty() && trimmed.front() == '+';

    std::size_t digits = 0;
    for (char c : trimmed) digits += (c >= '0' && c <= '9') ? 1 : 0;

    if (digits == 0) return NormalizeResult::failure("No digits found");
    std::string_view prefix = "+";
    if (!plus) {
        if (digits == kNationalDigits)
            prefix = "+1";
        else if (digits > kMaxE164Digits)
            return NormalizeResult::failure("Too many digits for E.164");
        else if (digits < kNationalDigits)
            return NormalizeResult::failure("Too few digits for E.164");
    }

    std::string candidate;
    candidate.reserve(prefix.size() + digits);
    candidate.append(prefix);
    for (char c : trimmed)
        if (c >= '0' && c <= '9') candidate.push_back(c);
    if (candidate.size() - 1 > kMaxE164Digits || candidate[1] == '0')
        return NormalizeResult::failure("Invalid E.164 format");
    return NormalizeResult::success(std::move(candidate));
}

}  // namespace velatro::engine
