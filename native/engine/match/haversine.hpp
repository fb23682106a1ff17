#pragma once
// Great-circle distance between two "latitude, longitude" values, in kilometres on a
// sphere of radius 6371 km.
#include <optional>
#include <string_view>

namespace velatro::engine {

struct LatLon {
    double lat = 0.0;
    double lon = 0.0;
};

// Exactly two comma-separated numbers, each trimmed of whitespace; latitude within
// [-90, 90] and longitude within [-180, 180] (so NaN and infinities are rejected).
std::optional<LatLon> parse_latlon(std::string_view text);

double haversine_km(const LatLon& a, const LatLon& b) noexcept;

}  // namespace velatro::engine
