#pragma once
#include <array>
#include <cstddef>
#include <cstdint>

namespace velatro::engine {

using ChaChaBlock = std::array<std::uint32_t, 16>;

// One ChaCha block: `rounds` rounds (an even number) over the 16-word input, then
// the input added back word by word.
ChaChaBlock chacha_block(const ChaChaBlock& input, int rounds) noexcept;

// Expands a 64-bit seed into a 32-byte key with eight PCG32 steps (state advanced
// before each output word, words written little-endian). This is how the LSH hash
// coefficients are derived from their fixed seed, so it is part of the key texts.
std::array<std::uint8_t, 32> pcg32_expand_seed(std::uint64_t seed) noexcept;

// The ChaCha8 keystream in its form with a 64-bit block counter (starting at 0) and a
// 64-bit nonce, read as consecutive little-endian 32-bit words.
class ChaCha8Stream {
  public:
    ChaCha8Stream(const std::array<std::uint8_t, 32>& key,
                  const std::array<std::uint8_t, 8>& nonce) noexcept;

    // The stream keyed by pcg32_expand_seed(seed) with a zero nonce.
    static ChaCha8Stream from_seed(std::uint64_t seed) noexcept;

    std::uint32_t next_u32() noexcept;
    // Two consecutive words, the first one as the low half.
    std::uint64_t next_u64() noexcept;

  private:
    void refill() noexcept;

    ChaChaBlock input_{};
    ChaChaBlock block_{};
    std::size_t index_ = 16;
};

}  // namespace velatro::engine
