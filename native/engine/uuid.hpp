#pragma once
// 128-bit identifiers of entities and tenants. Kept as raw bytes so that ordering is
// the byte order, which is also the order of the lower-case text form.
#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velatro::engine {

struct Uuid {
    std::array<std::uint8_t, 16> bytes{};

    friend auto operator<=>(const Uuid&, const Uuid&) = default;
    friend bool operator==(const Uuid&, const Uuid&) = default;

    // 36-character lower-case hyphenated text.
    [[nodiscard]] std::string to_string() const;
    void append_to(std::string& out) const;

    // Accepts the four standard text forms: 32 hex digits, 8-4-4-4-12 hyphenated,
    // hyphenated in braces, and hyphenated after "urn:uuid:"; hex digits of either case.
    // On failure returns nothing and, when asked, the reason.
    static std::optional<Uuid> parse(std::string_view text, std::string* reason = nullptr);
};

struct UuidHash {
    std::size_t operator()(const Uuid& id) const noexcept {
        // The bytes are usually random already; folding both halves is enough.
        std::uint64_t hi = 0;
        std::uint64_t lo = 0;
        std::memcpy(&hi, id.bytes.data(), 8);
        std::memcpy(&lo, id.bytes.data() + 8, 8);
        return static_cast<std::size_t>(hi ^ (lo * 0x9e3779b97f4a7c15ULL));
    }
};

}  // namespace velatro::engine
