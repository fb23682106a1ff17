#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "engine/blocking/chacha8_stream.hpp"
#include "engine/blocking/seahash.hpp"

namespace ve = velatro::engine;

namespace {

struct SeaHashCase {
    std::string_view input;
    std::uint64_t hash;
};

class SeaHashVectors : public ::testing::TestWithParam<SeaHashCase> {};

// Published values of the function; the longer text crosses the 32-byte stride and
// leaves a partial trailing word.
TEST_P(SeaHashVectors, MatchesPublishedValue) {
    EXPECT_EQ(ve::seahash(GetParam().input), GetParam().hash);
}

INSTANTIATE_TEST_SUITE_P(
    Published, SeaHashVectors,
    ::testing::Values(SeaHashCase{"to be or not to be", 1988685042348123509ULL},
                      SeaHashCase{"love is a wonderful terrible thing", 4784284276849692846ULL},
                      SeaHashCase{"foobar", 5348458858952426560ULL},
                      SeaHashCase{"bar", 15650573571726980301ULL}));

TEST(SeaHash, EveryLengthUpToTwoStridesIsPositionAndLengthSensitive) {
    // Trailing zero bytes must change the hash (the length is mixed in), and each
    // prefix length walks a different split between strides, words and the tail.
    std::string text(70, '\0');
    std::uint64_t previous = ve::seahash(std::string_view(text.data(), 0));
    for (std::size_t n = 1; n <= text.size(); ++n) {
        const std::uint64_t h = ve::seahash(std::string_view(text.data(), n));
        EXPECT_NE(h, previous) << n;
        previous = h;
    }
}

template <std::size_t N>
std::array<std::uint8_t, N> bytes_from_hex(std::string_view hex) {
    std::array<std::uint8_t, N> out{};
    for (std::size_t i = 0; i < N; ++i) {
        const std::string pair(hex.substr(2 * i, 2));
        out[i] = static_cast<std::uint8_t>(std::stoul(pair, nullptr, 16));
    }
    return out;
}

std::string keystream_hex(ve::ChaCha8Stream& stream, std::size_t words) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint32_t w = stream.next_u32();
        for (int byte = 0; byte < 4; ++byte) {
            const auto b = static_cast<unsigned>((w >> (8 * byte)) & 0xff);
            hex += kDigits[b >> 4];
            hex += kDigits[b & 15];
        }
    }
    return hex;
}

struct ChaChaCase {
    std::string_view key;
    std::string_view nonce;
    std::string_view keystream;  // first two 64-byte blocks
};

class ChaCha8Vectors : public ::testing::TestWithParam<ChaChaCase> {};

// Published ChaCha test vectors for 8 rounds, 256-bit key, 64-bit nonce, counter from
// zero: the second block checks that the counter advances.
TEST_P(ChaCha8Vectors, KeystreamMatchesPublishedBlocks) {
    const auto& c = GetParam();
    ve::ChaCha8Stream stream(bytes_from_hex<32>(c.key), bytes_from_hex<8>(c.nonce));
    EXPECT_EQ(keystream_hex(stream, 32), c.keystream);
}

INSTANTIATE_TEST_SUITE_P(
    Published, ChaCha8Vectors,
    ::testing::Values(
        ChaChaCase{"0000000000000000000000000000000000000000000000000000000000000000",
                   "0000000000000000",
                   "3e00ef2f895f40d67f5bb8e81f09a5a12c840ec3ce9a7f3b181be188ef711a1e"
                   "984ce172b9216f419f445367456d5619314a42a3da86b001387bfdb80e0cfe42"
                   "d2aefa0deaa5c151bf0adb6c01f2a5adc0fd581259f9a2aadcf20f8fd566a26b"
                   "5032ec38bbc5da98ee0c6f568b872a65a08abf251deb21bb4b56e5d8821e68aa"},
        ChaChaCase{"00112233445566778899aabbccddeeffffeeddccbbaa99887766554433221100",
                   "0f1e2d3c4b5a6978",
                   "db43ad9d1e842d1272e4530e276b3f568f8859b3f7cf6d9d2c74fa53808cb515"
                   "7a8ebf46ad3dcc4b6c7dadde131784b0120e0e22f6d5f9ffa7407d4a21b695d9"
                   "c5dd30bf55612fab9bdd118920c19816470c7f5dcd42325dbbed8c57a56281c1"
                   "44cb0f03e81b3004624e0650a1ce5afaf9a7cd8163f6dbd72602257dd96e471e"},
        ChaChaCase{"c46ec1b18ce8a878725a37e780dfb7351f68ed2e194c79fbc6aebee1a667975d",
                   "1ada31d5cf688221",
                   "838751b42d8ddd8a3d77f48825a2ba752cf4047cb308a5978ef274973be374c9"
                   "6ad848065871417b08f034e681fe46a93f7d5c61d1306614d4aaf257a7cff08b"
                   "16f2fda170cc18a4b58a2667ed962774af792a6e7f3c77992540711a7a136d7e"
                   "8a2f8d3f93816709d45a3fa5f8ce72fde15be7b841acba3a2abd557228d9fe4f"}));

TEST(ChaChaBlock, TwentyRoundBlockFunctionVector) {
    // The block function with 20 rounds on the standard's worked example (counter 1,
    // nonce 00:00:00:09:00:00:00:4a:00:00:00:00), which pins the round structure
    // independently of the stream wrapper.
    const ve::ChaChaBlock input{0x61707865, 0x3320646e, 0x79622d32, 0x6b206574,
                                0x03020100, 0x07060504, 0x0b0a0908, 0x0f0e0d0c,
                                0x13121110, 0x17161514, 0x1b1a1918, 0x1f1e1d1c,
                                0x00000001, 0x09000000, 0x4a000000, 0x00000000};
    const ve::ChaChaBlock expected{0xe4e7f110, 0x15593bd1, 0x1fdd0f50, 0xc47120a3,
                                   0xc7f4d1c7, 0x0368c033, 0x9aaa2204, 0x4e6cd4c3,
                                   0x466482d2, 0x09aa9f07, 0x05d7c214, 0xa2028bd9,
                                   0xd19c12b5, 0xb94e16de, 0xe883d0cb, 0x4e3c50a2};
    EXPECT_EQ(ve::chacha_block(input, 20), expected);
}

TEST(ChaCha8Stream, SixtyFourBitNumbersTakeTheLowWordFirst) {
    auto words = ve::ChaCha8Stream::from_seed(42);
    auto numbers = ve::ChaCha8Stream::from_seed(42);
    for (int i = 0; i < 40; ++i) {  // crosses a block boundary
        const std::uint64_t low = words.next_u32();
        const std::uint64_t high = words.next_u32();
        EXPECT_EQ(numbers.next_u64(), (high << 32) | low) << i;
    }
}

}  // namespace
