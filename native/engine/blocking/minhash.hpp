#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace velatro::engine {

// Characters per shingle of the LSH text.
inline constexpr std::size_t kShingleSize = 3;

// The MinHash function family: function i maps a shingle hash h to
// offsets[i] + h * multipliers[i], in wrapping 64-bit arithmetic.
struct MinHashFamily {
    std::vector<std::uint64_t> multipliers;
    std::vector<std::uint64_t> offsets;

    // `count` functions whose coefficients are drawn from the ChaCha8 stream seeded
    // with `seed`: the first `count` numbers are the multipliers, the next `count` the
    // offsets. The seed is fixed by the engine so that keys are stable across runs.
    static MinHashFamily generate(std::size_t count, std::uint64_t seed);

    std::size_t size() const noexcept { return multipliers.size(); }
};

// Appends the SeaHash of every shingle of text to out: every window of kShingleSize
// consecutive characters, or the whole text when it is shorter than that. A shingle
// that occurs several times is hashed several times; MinHash takes minima, so repeats
// do not change a signature and are not worth removing.
void append_shingle_hashes(std::string_view text, std::vector<std::uint64_t>& out);

// signature[i] = the minimum over hashes of function i, or the largest 64-bit value
// when there are no hashes. signature.size() must equal family.size().
void minhash_signature(const MinHashFamily& family, std::span<const std::uint64_t> hashes,
                       std::span<std::uint64_t> signature) noexcept;

}  // namespace velatro::engine
