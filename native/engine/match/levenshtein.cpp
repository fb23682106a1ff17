#include "engine/match/levenshtein.hpp"

#include <algorithm>
#include <cstdint>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "engine/cancellation.hpp"

namespace velatro::engine {

namespace {

using Word = std::uint64_t;

template <class C>
constexpr bool kByte = std::is_same_v<C, unsigned char>;

// Masks of the pattern's character positions for patterns of at most 64 characters,
// kept on the stack: a byte-indexed table when both sides are bytes, otherwise a small
// open-addressing table (at most 64 distinct keys in 128 slots).
template <class CP, class CT>
class ShortMasks {
  public:
    ShortMasks(std::span<const CP> pattern, std::span<const CT> text) {
        if constexpr (kByte<CP> && kByte<CT>) {
            // Only the entries of bytes that occur are read, so only those are cleared.
            for (CT c : text) table_[c] = 0;
            for (CP c : pattern) table_[c] = 0;
            for (std::size_t i = 0; i < pattern.size(); ++i) table_[pattern[i]] |= Word{1} << i;
        } else {
            (void)text;
            for (auto& k : keys_) k = kEmpty;
            for (std::size_t i = 0; i < pattern.size(); ++i) {
                std::size_t s = slot(pattern[i]);
                keys_[s] = pattern[i];
                masks_[s] |= Word{1} << i;
            }
        }
    }

    Word operator[](CT c) const {
        if constexpr (kByte<CP> && kByte<CT>) {
            return table_[c];
        } else {
            const std::size_t s = slot(c);
            return keys_[s] == static_cast<char32_t>(c) ? masks_[s] : 0;
        }
    }

  private:
    static constexpr char32_t kEmpty = 0xFFFFFFFF;
    std::size_t slot(char32_t c) const {
        std::size_t s = (c * 2654435761u) >> 7 & 127;
        while (keys_[s] != kEmpty && keys_[s] != c) s = (s + 1) & 127;
        return s;
    }
    Word table_[kByte<CP> && kByte<CT> ? 256 : 1];
    char32_t keys_[kByte<CP> && kByte<CT> ? 1 : 128];
    Word masks_[kByte<CP> && kByte<CT> ? 1 : 128] = {};
};

// Myers' bit-vector algorithm, one column of the edit matrix per text character.
template <class CP, class CT>
std::size_t myers_single(std::span<const CP> pattern, std::span<const CT> text) {
    const ShortMasks<CP, CT> pm(pattern, text);
    const std::size_t m = pattern.size();
    const Word high = Word{1} << (m - 1);
    Word vp = ~Word{0}, vn = 0;
    std::size_t score = m;
    for (CT c : text) {
        const Word eq = pm[c];
        const Word x = eq | vn;
        const Word d0 = (((eq & vp) + vp) ^ vp) | eq;
        Word hp = vn | ~(d0 | vp);
        Word hn = vp & d0;
        if (hp & high) ++score;
        if (hn & high) --score;
        hp = (hp << 1) | 1;  // the top row counts up: distance to an empty pattern
        hn <<= 1;
        vp = hn | ~(x | hp);
        vn = hp & x;
    }
    return score;
}

// The same recurrence over blocks of 64 pattern rows, carrying the horizontal delta
// from one block to the next.
template <class CP, class CT>
std::size_t myers_blocks(std::span<const CP> pattern, std::span<const CT> text) {
    const std::size_t m = pattern.size();
    const std::size_t blocks = (m + 63) / 64;
    std::vector<Word> masks;  // blocks words per distinct pattern character
    std::unordered_map<char32_t, std::size_t> index;
    std::vector<std::size_t> byte_index;
    if constexpr (kByte<CT>) byte_index.assign(256, SIZE_MAX);
    for (std::size_t i = 0; i < m; ++i) {
        const char32_t c = pattern[i];
        std::size_t at;
        if constexpr (kByte<CT>) {
            if (c >= 256) continue;  // never met in a byte text
            if (byte_index[c] == SIZE_MAX) {
                byte_index[c] = masks.size();
                masks.resize(masks.size() + blocks, 0);
            }
            at = byte_index[c];
        } else {
            auto [it, fresh] = index.try_emplace(c, masks.size());
            if (fresh) masks.resize(masks.size() + blocks, 0);
            at = it->second;
        }
        masks[at + i / 64] |= Word{1} << (i % 64);
    }
    std::vector<Word> vp(blocks, ~Word{0}), vn(blocks, 0);
    const Word last_high = Word{1} << ((m - 1) % 64);
    std::size_t score = m;
    // Long values cost pattern blocks times text length: look at the run's cancel flag
    // every few thousand text characters, so a stop reaches inside one comparison.
    constexpr std::size_t kCancelStride = 4096;
    std::size_t step = 0;
    for (CT c : text) {
        if (++step == kCancelStride) {
            step = 0;
            check_cancelled_in_comparison();
        }
        const Word* eqs = nullptr;
        if constexpr (kByte<CT>) {
            if (byte_index[c] != SIZE_MAX) eqs = &masks[byte_index[c]];
        } else {
            auto it = index.find(c);
            if (it != index.end()) eqs = &masks[it->second];
        }
        int carry = 1;  // horizontal delta entering the block from above
        for (std::size_t k = 0; k < blocks; ++k) {
            Word eq = eqs ? eqs[k] : 0;
            const Word pv = vp[k], mv = vn[k];
            const Word xv = eq | mv;
            if (carry < 0) eq |= 1;
            const Word xh = (((eq & pv) + pv) ^ pv) | eq;
            Word ph = mv | ~(xh | pv);
            Word mh = pv & xh;
            const Word high = k + 1 == blocks ? last_high : Word{1} << 63;
            const int out = (ph & high) ? 1 : (mh & high) ? -1 : 0;
            ph <<= 1;
            mh <<= 1;
            if (carry < 0)
                mh |= 1;
            else if (carry > 0)
                ph |= 1;
            vp[k] = mh | ~(xv | ph);
            vn[k] = ph & xv;
            carry = out;
        }
        score += carry;  // the last block's bottom row is the distance column
    }
    return score;
}

template <class CA, class CB>
std::size_t distance_of(std::span<const CA> a, std::span<const CB> b) {
    // Common ends never change the distance; trimming them shortens the bit-vector work.
    while (!a.empty() && !b.empty() &&
           static_cast<char32_t>(a.front()) == static_cast<char32_t>(b.front())) {
        a = a.subspan(1);
        b = b.subspan(1);
    }
    while (!a.empty() && !b.empty() &&
           static_cast<char32_t>(a.back()) == static_cast<char32_t>(b.back())) {
        a = a.first(a.size() - 1);
        b = b.first(b.size() - 1);
    }
    if (a.empty()) return b.size();
    if (b.empty()) return a.size();
    // The distance is symmetric, so either text can be the pattern. One step per text
    // character: the longer text is the pattern when it fits one word; otherwise the
    // shorter one is, in as few words as possible.
    if (a.size() <= 64 && b.size() <= 64)
        return a.size() >= b.size() ? myers_single(a, b) : myers_single(b, a);
    if (a.size() <= b.size()) return a.size() <= 64 ? myers_single(a, b) : myers_blocks(a, b);
    return b.size() <= 64 ? myers_single(b, a) : myers_blocks(b, a);
}

template <class CA, class CB>
double similarity_of(std::span<const CA> a, std::span<const CB> b) {
    if (a.empty() && b.empty()) return 1.0;
    const std::size_t d = distance_of(a, b);
    return 1.0 - static_cast<double>(d) / static_cast<double>(std::max(a.size(), b.size()));
}

}  // namespace

std::size_t levenshtein_distance(std::string_view a, std::string_view b) {
    return with_characters(a, b, [](auto x, auto y) { return distance_of(x, y); });
}

double normalized_levenshtein(std::string_view a, std::string_view b) {
    return with_characters(a, b, [](auto x, auto y) { return similarity_of(x, y); });
}

double normalized_levenshtein(const CharText& a, const CharText& b) {
    return visit_pair(a, b, [](auto x, auto y) { return similarity_of(x, y); });
}

}  // namespace velatro::engine
