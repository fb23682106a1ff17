#include "engine/normalize/domain_normalizer.hpp"

#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {
namespace {

bool starts_with_ascii_ci(std::string_view text, std::string_view lower_prefix) {
    if (text.size() < lower_prefix.size()) return false;
    for (std::size_t i = 0; i < lower_prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
        if (c != lower_prefix[i]) return false;
    }
    return true;
}

// Scheme, one "www." and the path removed. The prefixes are ASCII, so matching them
// ignoring ASCII case on the unlowered text finds the same cut as on the lowered text
// whenever lowering keeps byte positions, which it does for ASCII.
std::string_view host_part(std::string_view text) {
    for (std::string_view scheme : {"https://", "http://"}) {
        if (starts_with_ascii_ci(text, scheme)) {
            text.remove_prefix(scheme.size());
            break;
        }
    }
    if (starts_with_ascii_ci(text, "www.")) text.remove_prefix(4);
    return text.substr(0, text.find('/'));
}

}  // namespace

NormalizeResult DomainNormalizer::normalize(std::string_view text) const {
    const std::string_view trimmed = trim_white_space(text);
    if (is_ascii(trimmed)) return NormalizeResult::success(to_lowercase(host_part(trimmed)));
    // Lowering non-ASCII text can change its length (and "K", the Kelvin sign, lowers to
    // an ASCII "k"), so lower first and cut afterwards.
    const std::string lowered = to_lowercase(trimmed);
    return NormalizeResult::success(std::string(host_part(lowered)));
}

}  // namespace velatro::engine
