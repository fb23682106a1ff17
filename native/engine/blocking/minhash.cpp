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
    for (std::size_t i = 0; i < signature.size(); ++i) {
        const std::uint64_t m = multipliers[i];
        const std::uint64_t o = offsets[i];
        std::uint64_t best = std::numeric_limits<std::uint64_t>::max();
        for (const std::uint64_t h : hashes) {
            const std::uint64_t v = o + h * m;
            if (v < best) best = v;
        }
        signature[i] = best;
    }
}

}  // namespace velatro::engine
