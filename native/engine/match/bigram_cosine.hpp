#pragma once
// Cosine similarity of character-bigram count vectors: every adjacent pair of
// characters counts once, with no padding and no case folding; a text of fewer than
// two characters has no bigrams and scores 0.0 against anything.
#include <cstdint>
#include <string_view>
#include <vector>

#include "engine/match/char_text.hpp"

namespace velatro::engine {

// A text's bigram counts, sorted by bigram so two profiles meet in one merge pass.
// Counts are whole numbers far below 2^53, so integer sums equal the float sums in any
// order.
struct BigramProfile {
    struct Entry {
        std::uint64_t bigram;  // first character << 32 | second character
        std::uint64_t count;
    };
    std::vector<Entry> entries;
    std::uint64_t squared_norm = 0;

    BigramProfile() = default;
    explicit BigramProfile(std::string_view text);
    explicit BigramProfile(const CharText& text);
};

double bigram_cosine(const BigramProfile& a, const BigramProfile& b) noexcept;
double bigram_cosine(std::string_view a, std::string_view b);

}  // namespace velatro::engine
