#pragma once
// Instants in UTC with nanosecond resolution. Stored as seconds since 1970-01-01
// (floor) plus nanoseconds, which orders exactly like (date, second of day, nanosecond).
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velatro::engine {

struct UtcDateTime {
    std::int64_t seconds = 0;  // since 1970-01-01T00:00:00Z, may be negative
    // Below 1e9 except for a leap second, which is kept as :59 plus one more second's
    // worth of nanoseconds so that it still sorts between :59 and the next minute.
    std::uint32_t nanos = 0;

    friend auto operator<=>(const UtcDateTime&, const UtcDateTime&) = default;
    friend bool operator==(const UtcDateTime&, const UtcDateTime&) = default;

    static UtcDateTime from_civil(std::int64_t year, unsigned month, unsigned day, unsigned hour,
                                  unsigned minute, unsigned second, std::uint32_t nanos = 0);
    static UtcDateTime now();

    // "2024-01-02T01:04:05Z", with the fraction's significant digits when non-zero.
    [[nodiscard]] std::string to_string() const;

    // Relaxed RFC 3339: full-date, 'T'/'t' or space, hh:mm:ss[.fraction up to 9 digits],
    // then a mandatory offset ('Z'/'z', +hh:mm, +hhmm or "UTC" in any case); spaces are
    // tolerated between components. On failure returns nothing and, when asked, the reason.
    static std::optional<UtcDateTime> parse(std::string_view text, std::string* reason = nullptr);
};

}  // namespace velatro::engine
