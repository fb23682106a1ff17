#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "engine/blocking/blocking_strategy.hpp"
#include "engine/blocking/minhash.hpp"

namespace velatro::engine {

// Locality-sensitive blocking: the values of the chosen fields are joined into one text,
// cut into character shingles and summarised by a MinHash signature; each band of
// `rows` signature entries becomes one key "lsh:{band}:{hash}". Records with similar
// texts agree on some band with high probability, whatever their exact spelling.
class LshBlocking final : public BlockingStrategy {
  public:
    // Seed of the hash coefficients. Fixed, so that the same record gets the same keys
    // in every run and every process.
    static constexpr std::uint64_t kSeed = 42;

    LshBlocking(std::vector<std::string> fields, std::uint64_t bands, std::uint64_t rows);

    void append_block_keys(const NormalizedEntity& entity,
                           std::vector<std::string>& keys) const override;

    const std::vector<std::string>& fields() const noexcept { return fields_; }
    const std::vector<std::uint64_t>& multipliers() const noexcept { return family_.multipliers; }
    const std::vector<std::uint64_t>& offsets() const noexcept { return family_.offsets; }
    std::uint64_t bands() const noexcept { return bands_; }
    std::uint64_t rows() const noexcept { return rows_; }

  private:
    std::vector<std::string> fields_;
    MinHashFamily family_;  // bands × rows functions
    std::uint64_t bands_;
    std::uint64_t rows_;
};

}  // namespace velatro::engine
