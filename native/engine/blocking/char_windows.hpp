#pragma once
#include <array>
#include <cstddef>
#include <string_view>

namespace velatro::engine {

// Windows of consecutive characters are formed over Unicode scalar values, so that a
// window never splits a multi-byte character and ASCII text gets plain byte windows.
// Text that is not valid UTF-8 cannot reach the engine from Python, but a stray byte
// still counts as one character here rather than being read past.

// Byte length of the character that starts at text[pos] (pos < text.size()).
inline std::size_t char_length(std::string_view text, std::size_t pos) noexcept {
    std::size_t end = pos + 1;
    while (end < text.size() && end - pos < 4 &&
           (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        ++end;
    return end - pos;
}

// Number of characters in text.
inline std::size_t char_count(std::string_view text) noexcept {
    std::size_t count = 0;
    for (std::size_t pos = 0; pos < text.size(); pos += char_length(text, pos)) ++count;
    return count;
}

// Calls visit(window) for every window of N consecutive characters, in order from
// the start. Returns the number of windows visited (zero when text has fewer than N
// characters).
template <std::size_t N, class Visit>
std::size_t for_each_char_window(std::string_view text, Visit&& visit) {
    static_assert(N > 0);
    // Start offsets of the last N characters seen, in a ring.
    std::array<std::size_t, N> starts{};
    std::size_t seen = 0;
    std::size_t windows = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        starts[seen % N] = pos;
        pos += char_length(text, pos);
        ++seen;
        if (seen >= N) {
            const std::size_t first = starts[seen % N];
            visit(text.substr(first, pos - first));
            ++windows;
        }
    }
    return windows;
}

}  // namespace velatro::engine
