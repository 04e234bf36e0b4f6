// The scanner's GPS position text, and the distance and delay that a receiver derives from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace scanlink::sim {

struct Position {
  double lon = 0;  // degrees east
  double lat = 0;  // degrees north
};

// A GGA-style sentence: "$GPGGA,hhmmss.00,ddmm.mmmm,N,dddmm.mmmm,E,1,08,0.9,50.0,M,0.0,M,,*CS".
// No 'N' or 'E' appears before the two hemisphere letters, so a reader that looks for the first of
// each finds them. Southern and western positions get 'S' and 'W'.
std::string gps_text(Position p, int seconds_of_day);

// The position exactly as a receiver reads it back from a GPS text: whole degrees from the leading
// digits plus the minutes text times 1/60, so the sim computes distances from the same doubles.
// The number before the first 'E' and the first 'N' starts after a comma at most 13 characters
// before the letter; without both numbers a receiver reads longitude 180, latitude 90.
Position position_as_read(std::string_view text);

// Distance in km on the WGS-84 ellipsoid (the two-term correction of a spherical central angle).
double geo_distance_km(Position scanner, Position station);

// Delay in quarter chips for a distance: km / chip length * 4, truncated toward zero.
std::int32_t quarter_chips(double km);

}  // namespace scanlink::sim
