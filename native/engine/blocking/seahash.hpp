#pragma once
#include <cstdint>
#include <string_view>

namespace velatro::engine {

// The published 64-bit SeaHash of the bytes, with its four standard initial state
// words. LSH block keys carry these values, so they must match the published
// function bit for bit, on every platform.
std::uint64_t seahash(std::string_view bytes) noexcept;

}  // namespace velatro::engine
