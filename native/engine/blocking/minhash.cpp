#include "engine/blocking/minhash.hpp"

#include <limits>

#include "engine/blocking/chacha8_stream.hpp"
#include "engine/blocking/char_windows.hpp"
#include "engine/blocking/seahash.hpp"

namespace velatro::engine {

MinHashFamily MinHashFamily::generate(std::size_t count, std::uint64_t seed) {
    MinHashFamily family;
    family.multipliers.resize(count);
    family.offsets.resize(count);
    auto stream = ChaCha8Stream::from_seed(seed);
    for (auto& m : family.multipliers) m = stream.next_u64();
    for (auto& o : family.offsets) o = stream.next_u64();
    return family;
}

void append_shingle_hashes(std::string_view text, std::vector<std::uint64_t>& out) {
    const std::size_t windows = for_each_char_window<kShingleSize>(
        text, [&out](std::string_view shingle) { out.push_back(seahash(shingle)); });
    if (windows == 0) out.push_back(seahash(text));
}

void minhash_signature(const MinHashFamily& family, std::span<const std::uint64_t> hashes,
                       std::span<std::uint64_t> signature) noexcept {
    constexpr std::uint64_t kNone = std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t* m = family.multipliers.data();
    const std::uint64_t* o = family.offsets.data();
    const std::size_t n = signature.size();
    std::size_t i = 0;
    // Four functions at a time over all shingles: their coefficients and running minima
    // stay in registers, and the four minima are independent chains that overlap.
    for (; i + 4 <= n; i += 4) {
        std::uint64_t b0 = kNone, b1 = kNone, b2 = kNone, b3 = kNone;
        for (const std::uint64_t h : hashes) {
            const std::uint64_t v0 = o[i] + h * m[i];
            const std::uint64_t v1 = o[i + 1] + h * m[i + 1];
            const std::uint64_t v2 = o[i + 2] + h * m[i + 2];
            const std::uint64_t v3 = o[i + 3] + h * m[i + 3];
            b0 = v0 < b0 ? v0 : b0;
            b1 = v1 < b1 ? v1 : b1;
            b2 = v2 < b2 ? v2 : b2;
            b3 = v3 < b3 ? v3 : b3;
        }
        signature[i] = b0;
        signature[i + 1] = b1;
        signature[i + 2] = b2;
        signature[i + 3] = b3;
    }
    for (; i < n; ++i) {
        std::uint64_t best = kNone;
        for (const std::uint64_t h : hashes) {
            const std::uint64_t v = o[i] + h * m[i];
            best = v < best ? v : best;
        }
        signature[i] = best;
    }
}

}  // namespace velatro::engine
