#include "engine/blocking/seahash.hpp"

#include <bit>
#include <cstring>

namespace velatro::engine {
namespace {

constexpr std::uint64_t kPrime = 0x6eed0e9da4d94a4fULL;

constexpr std::uint64_t diffuse(std::uint64_t x) noexcept {
    x *= kPrime;
    x ^= (x >> 32) >> (x >> 60);
    x *= kPrime;
    return x;
}

// Little-endian read of up to eight bytes, zero-padded above; independent of the
// host byte order so that keys agree across machines.
inline std::uint64_t read_le(const unsigned char* p, std::size_t n) noexcept {
    std::uint64_t x = 0;
    for (std::size_t i = n; i-- > 0;) x = (x << 8) | p[i];
    return x;
}

inline std::uint64_t read_le8(const unsigned char* p) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        std::uint64_t x;
        std::memcpy(&x, p, 8);
        return x;
    } else {
        return read_le(p, 8);
    }
}

}  // namespace

std::uint64_t seahash(std::string_view bytes) noexcept {
    std::uint64_t a = 0x16f11fe89b0d677cULL;
    std::uint64_t b = 0xb480a793d8e6c86cULL;
    std::uint64_t c = 0x6fe2e5aaf078ebc9ULL;
    std::uint64_t d = 0x14f994a4c5259381ULL;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();

    // Words go to the four lanes in turn; a whole 32-byte stride feeds each lane once,
    // which keeps the lanes in registers without rotating them.
    while (n >= 32) {
        a = diffuse(a ^ read_le8(p));
        b = diffuse(b ^ read_le8(p + 8));
        c = diffuse(c ^ read_le8(p + 16));
        d = diffuse(d ^ read_le8(p + 24));
        p += 32;
        n -= 32;
    }
    // Up to three whole words and a zero-padded partial word remain; they continue the
    // round robin from lane a, and the final lane order no longer matters because the
    // lanes are xored together.
    std::uint64_t* lanes[4] = {&a, &b, &c, &d};
    std::size_t lane = 0;
    while (n >= 8) {
        *lanes[lane] = diffuse(*lanes[lane] ^ read_le8(p));
        ++lane;
        p += 8;
        n -= 8;
    }
    if (n > 0) *lanes[lane] = diffuse(*lanes[lane] ^ read_le(p, n));

    return diffuse(a ^ b ^ c ^ d ^ static_cast<std::uint64_t>(bytes.size()));
}

}  // namespace velatro::engine
