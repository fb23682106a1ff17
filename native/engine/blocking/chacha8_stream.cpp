#include "engine/blocking/chacha8_stream.hpp"

#include <bit>

namespace velatro::engine {
namespace {

inline void quarter_round(ChaChaBlock& x, int a, int b, int c, int d) noexcept {
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 16);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 12);
    x[a] += x[b];
    x[d] = std::rotl(x[d] ^ x[a], 8);
    x[c] += x[d];
    x[b] = std::rotl(x[b] ^ x[c], 7);
}

inline std::uint32_t load_le32(const std::uint8_t* p) noexcept {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

}  // namespace

ChaChaBlock chacha_block(const ChaChaBlock& input, int rounds) noexcept {
    ChaChaBlock x = input;
    for (int r = 0; r < rounds; r += 2) {
        quarter_round(x, 0, 4, 8, 12);
        quarter_round(x, 1, 5, 9, 13);
        quarter_round(x, 2, 6, 10, 14);
        quarter_round(x, 3, 7, 11, 15);
        quarter_round(x, 0, 5, 10, 15);
        quarter_round(x, 1, 6, 11, 12);
        quarter_round(x, 2, 7, 8, 13);
        quarter_round(x, 3, 4, 9, 14);
    }
    for (std::size_t i = 0; i < x.size(); ++i) x[i] += input[i];
    return x;
}

std::array<std::uint8_t, 32> pcg32_expand_seed(std::uint64_t seed) noexcept {
    constexpr std::uint64_t kMultiplier = 6364136223846793005ULL;
    constexpr std::uint64_t kIncrement = 11634580027462260723ULL;
    std::array<std::uint8_t, 32> key{};
    std::uint64_t state = seed;
    for (std::size_t word = 0; word < 8; ++word) {
        state = state * kMultiplier + kIncrement;
        const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
        const auto out = std::rotr(xorshifted, static_cast<int>(state >> 59));
        for (std::size_t i = 0; i < 4; ++i)
            key[word * 4 + i] = static_cast<std::uint8_t>(out >> (8 * i));
    }
    return key;
}

ChaCha8Stream::ChaCha8Stream(const std::array<std::uint8_t, 32>& key,
                             const std::array<std::uint8_t, 8>& nonce) noexcept {
    // "expand 32-byte k"
    input_[0] = 0x61707865;
    input_[1] = 0x3320646e;
    input_[2] = 0x79622d32;
    input_[3] = 0x6b206574;
    for (std::size_t i = 0; i < 8; ++i) input_[4 + i] = load_le32(key.data() + 4 * i);
    input_[12] = 0;
    input_[13] = 0;
    input_[14] = load_le32(nonce.data());
    input_[15] = load_le32(nonce.data() + 4);
}

ChaCha8Stream ChaCha8Stream::from_seed(std::uint64_t seed) noexcept {
    return ChaCha8Stream(pcg32_expand_seed(seed), {});
}

void ChaCha8Stream::refill() noexcept {
    block_ = chacha_block(input_, 8);
    // Words 12 and 13 are one 64-bit counter, low word first.
    if (++input_[12] == 0) ++input_[13];
    index_ = 0;
}

std::uint32_t ChaCha8Stream::next_u32() noexcept {
    if (index_ == block_.size()) refill();
    return block_[index_++];
}

std::uint64_t ChaCha8Stream::next_u64() noexcept {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return (high << 32) | low;
}

}  // namespace velatro::engine
