#include "engine/match/haversine.hpp"

#include <cmath>

#include "engine/match/float_syntax.hpp"
#include "engine/normalize/unicode_text.hpp"

namespace velatro::engine {

std::optional<LatLon> parse_latlon(std::string_view text) {
    const std::size_t comma = text.find(',');
    if (comma == std::string_view::npos || text.find(',', comma + 1) != std::string_view::npos)
        return std::nullopt;
    const auto lat = parse_float(trim_white_space(text.substr(0, comma)));
    const auto lon = parse_float(trim_white_space(text.substr(comma + 1)));
    if (!lat || !lon) return std::nullopt;
    if (!(std::fabs(*lat) <= 90.0) || !(std::fabs(*lon) <= 180.0)) return std::nullopt;
    return LatLon{*lat, *lon};
}

double haversine_km(const LatLon& a, const LatLon& b) noexcept {
    constexpr double k = 0.017453292519943295;
    const double s1 = std::sin((b.lat - a.lat) * k * 0.5);
    const double s2 = std::sin((b.lon - a.lon) * k * 0.5);
    const double h = s1 * s1 + std::cos(a.lat * k) * std::cos(b.lat * k) * (s2 * s2);
    return 2.0 * std::asin(std::sqrt(h)) * 6371.0;
}

}  // namespace velatro::engine
