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
    const std::uint64_t* multipliers = family.multipliers.data();
    const std::uint64_t* offsets = family.offsets.data();
    std::uint64_t* out = signature.data();
    const std::size_t n = signature.size();
    for (std::size_t i = 0; i < n; ++i) out[i] = std::numeric_limits<std::uint64_t>::max();
    // Shingles outside, functions inside: the minima of different functions are
    // independent, so the inner loop has no carried dependency and runs at the
    // multiplier's throughput rather than the latency of one compare chain.
    for (const std::uint64_t h : hashes) {
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint64_t v = offsets[i] + h * multipliers[i];
            out[i] = v < out[i] ? v : out[i];
        }
    }
}

}  // namespace velatro::engine
