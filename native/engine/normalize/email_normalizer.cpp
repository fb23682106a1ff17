#include "engine/normalize/email_normalizer.hpp"

#include <algorithm>

#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {
namespace {

// The service's primary domain and its legacy alias; the alias is kept as written.
constexpr std::string_view kGmailDomains[] = {"gmail.com", "googlemail.com"};

}  // namespace

NormalizeResult EmailNormalizer::normalize(std::string_view text) const {
    std::string address = to_lowercase(trim_white_space(text));
    const std::size_t at = address.find('@');
    if (at == std::string::npos || at == 0 || at + 1 == address.size())
        return NormalizeResult::failure("Invalid email format");

    const std::string_view domain = std::string_view(address).substr(at + 1);
    if (std::find(std::begin(kGmailDomains), std::end(kGmailDomains), domain) ==
        std::end(kGmailDomains))
        return NormalizeResult::success(std::move(address));

    // Rewritten in place: the local part only shrinks.
    std::string_view local = std::string_view(address).substr(0, at);
    local = local.substr(0, local.find('+'));
    std::size_t write = 0;
    for (char c : local)
        if (c != '.') address[write++] = c;
    address.erase(write, at - write);
    return NormalizeResult::success(std::move(address));
}

}  // namespace velatro::engine
