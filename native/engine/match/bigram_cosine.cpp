#include "engine/match/bigram_cosine.hpp"

#include <algorithm>
#include <cmath>

namespace velatro::engine {

namespace {

template <class C>
void build(std::span<const C> text, BigramProfile& profile) {
    if (text.size() < 2) return;
    std::vector<std::uint64_t> keys(text.size() - 1);
    for (std::size_t i = 0; i + 1 < text.size(); ++i)
        keys[i] = std::uint64_t{static_cast<char32_t>(text[i])} << 32 |
                  static_cast<char32_t>(text[i + 1]);
    std::sort(keys.begin(), keys.end());
    for (std::size_t i = 0; i < keys.size();) {
        std::size_t e = i;
        while (e < keys.size() && keys[e] == keys[i]) ++e;
        const std::uint64_t n = e - i;
        profile.entries.push_back({keys[i], n});
        profile.squared_norm += n * n;
        i = e;
    }
}

}  // namespace

BigramProfile::BigramProfile(std::string_view text) {
    if (is_ascii(text))
        build(as_bytes(text), *this);
    else
        CharText(text).visit([this](auto chars) { build(chars, *this); });
}

BigramProfile::BigramProfile(const CharText& text) {
    text.visit([this](auto chars) { build(chars, *this); });
}

double bigram_cosine(const BigramProfile& a, const BigramProfile& b) noexcept {
    if (a.entries.empty() || b.entries.empty()) return 0.0;
    std::uint64_t dot = 0;
    auto x = a.entries.begin(), y = b.entries.begin();
    while (x != a.entries.end() && y != b.entries.end()) {
        if (x->bigram < y->bigram) {
            ++x;
        } else if (y->bigram < x->bigram) {
            ++y;
        } else {
            dot += x->count * y->count;
            ++x, ++y;
        }
    }
    const double na = static_cast<double>(a.squared_norm);
    const double nb = static_cast<double>(b.squared_norm);
    if (na == 0.0 || nb == 0.0) return 0.0;
    return static_cast<double>(dot) / (std::sqrt(na) * std::sqrt(nb));
}

double bigram_cosine(std::string_view a, std::string_view b) {
    return bigram_cosine(BigramProfile(a), BigramProfile(b));
}

}  // namespace velatro::engine
