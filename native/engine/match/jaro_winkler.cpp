#include "engine/match/jaro_winkler.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <vector>

namespace velatro::engine {

namespace {

template <class CA, class CB>
constexpr bool kBothBytes = std::is_same_v<CA, unsigned char>&& std::is_same_v<CB, unsigned char>;

double jaro_formula(std::size_t m, std::size_t t, std::size_t la, std::size_t lb) {
    const double md = static_cast<double>(m);
    return (md / static_cast<double>(la) + md / static_cast<double>(lb) +
            static_cast<double>(m - t) / md) /
           3.0;
}

// b has at most 64 characters: the taken positions of b fit one word, and so do the
// matched characters of a (there are at most as many as positions in b).
template <class CA, class CB>
double jaro_short(std::span<const CA> a, std::span<const CB> b, std::size_t w) {
    const std::size_t la = a.size(), lb = b.size();
    std::uint64_t taken = 0;
    std::array<char32_t, 64> a_matched;
    std::size_t m = 0;
    const std::size_t last_i = std::min(la, lb + w);  // later characters of a see no b
    if constexpr (kBothBytes<CA, CB>) {
        // Position masks of b's characters, indexed by byte. Only the entries of bytes
        // that occur in a or b are ever read, so only those are cleared.
        std::uint64_t pm[256];
        for (std::size_t i = 0; i < last_i; ++i) pm[a[i]] = 0;
        for (std::size_t j = 0; j < lb; ++j) pm[b[j]] = 0;
        for (std::size_t j = 0; j < lb; ++j) pm[b[j]] |= std::uint64_t{1} << j;
        for (std::size_t i = 0; i < last_i; ++i) {
            const std::size_t lo = i > w ? i - w : 0;
            const std::size_t hi = i + w;  // inclusive; bits above lb are never set
            std::uint64_t window = hi >= 63 ? ~std::uint64_t{0} : (std::uint64_t{2} << hi) - 1;
            window &= ~((std::uint64_t{1} << lo) - 1);
            const std::uint64_t free = pm[a[i]] & ~taken & window;
            if (free != 0) {
                taken |= free & (~free + 1);
                a_matched[m++] = a[i];
            }
        }
    } else {
        for (std::size_t i = 0; i < last_i; ++i) {
            const std::size_t lo = i > w ? i - w : 0;
            const std::size_t hi = std::min(lb - 1, i + w);
            for (std::size_t j = lo; j <= hi; ++j) {
                if (static_cast<char32_t>(b[j]) == static_cast<char32_t>(a[i]) &&
                    !(taken >> j & 1)) {
                    taken |= std::uint64_t{1} << j;
                    a_matched[m++] = a[i];
                    break;
                }
            }
        }
    }
    if (m == 0) return 0.0;
    std::size_t mismatches = 0;
    std::size_t k = 0;
    for (std::uint64_t rest = taken; rest != 0; rest &= rest - 1, ++k) {
        const int j = std::countr_zero(rest);
        if (static_cast<char32_t>(b[j]) != a_matched[k]) ++mismatches;
    }
    return jaro_formula(m, mismatches / 2, la, lb);
}

// Any length. The window's lower edge only moves forward, so for each character c the
// positions of c in b that are still free and inside the window always form a suffix of
// the sorted list of c's positions: one cursor per character finds the first free
// candidate, making the whole matching linear after the sort.
template <class CA, class CB>
double jaro_long(std::span<const CA> a, std::span<const CB> b, std::size_t w) {
    const std::size_t la = a.size(), lb = b.size();
    std::vector<std::uint32_t> order(lb);
    for (std::size_t j = 0; j < lb; ++j) order[j] = static_cast<std::uint32_t>(j);
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t x, std::uint32_t y) {
        return static_cast<char32_t>(b[x]) < static_cast<char32_t>(b[y]);
    });
    struct Group {
        char32_t c;
        std::uint32_t cursor, end;
    };
    std::vector<Group> groups;
    for (std::size_t k = 0; k < lb;) {
        const char32_t c = b[order[k]];
        std::size_t e = k;
        while (e < lb && static_cast<char32_t>(b[order[e]]) == c) ++e;
        groups.push_back({c, static_cast<std::uint32_t>(k), static_cast<std::uint32_t>(e)});
        k = e;
    }
    std::vector<unsigned char> taken(lb, 0);
    std::vector<char32_t> a_matched;
    for (std::size_t i = 0; i < la; ++i) {
        const char32_t c = a[i];
        auto g = std::lower_bound(groups.begin(), groups.end(), c,
                                  [](const Group& x, char32_t v) { return x.c < v; });
        if (g == groups.end() || g->c != c) continue;
        const std::size_t lo = i > w ? i - w : 0;
        const std::size_t hi = i + w;
        while (g->cursor < g->end && order[g->cursor] < lo) ++g->cursor;
        if (g->cursor < g->end && order[g->cursor] <= hi) {
            taken[order[g->cursor]] = 1;
            ++g->cursor;
            a_matched.push_back(c);
        }
    }
    const std::size_t m = a_matched.size();
    if (m == 0) return 0.0;
    std::size_t mismatches = 0;
    std::size_t k = 0;
    for (std::size_t j = 0; j < lb; ++j)
        if (taken[j] && static_cast<char32_t>(b[j]) != a_matched[k++]) ++mismatches;
    return jaro_formula(m, mismatches / 2, la, lb);
}

template <class CA, class CB>
double jaro_of(std::span<const CA> a, std::span<const CB> b) {
    const std::size_t la = a.size(), lb = b.size();
    if (la == 0 && lb == 0) return 1.0;
    if (la == 0 || lb == 0) return 0.0;
    std::size_t w = std::max(la, lb) / 2;
    w = w > 0 ? w - 1 : 0;
    return lb <= 64 ? jaro_short(a, b, w) : jaro_long(a, b, w);
}

template <class CA, class CB>
double jaro_winkler_of(std::span<const CA> a, std::span<const CB> b) {
    const double sim = jaro_of(a, b);
    if (!(sim > 0.7)) return sim;
    std::size_t p = 0;
    const std::size_t limit = std::min<std::size_t>({4, a.size(), b.size()});
    while (p < limit && static_cast<char32_t>(a[p]) == static_cast<char32_t>(b[p])) ++p;
    return sim + 0.1 * static_cast<double>(p) * (1.0 - sim);
}

}  // namespace

double jaro(std::string_view a, std::string_view b) {
    return with_characters(a, b, [](auto x, auto y) { return jaro_of(x, y); });
}

double jaro_winkler(std::string_view a, std::string_view b) {
    return with_characters(a, b, [](auto x, auto y) { return jaro_winkler_of(x, y); });
}

double jaro_winkler(const CharText& a, const CharText& b) {
    return visit_pair(a, b, [](auto x, auto y) { return jaro_winkler_of(x, y); });
}

}  // namespace velatro::engine
