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

// One fix of the scanner's GPS receiver.
struct GpsFix {
  double utc_s = 0;  // seconds since 1970-01-01 UTC, with their fraction
  Position position;
  double altitude_m = 50;  // above mean sea level
  double speed_mps = 0;
  double course_deg = 0;  // true, clockwise from north
  int satellites = 8;
  double hdop = 0.9;
};

// The fix as NMEA sentences, time to the hundredth of a second:
//   "$GPGGA,hhmmss.ss,ddmm.mmmm,N,dddmm.mmmm,E,1,SS,H.H,A.A,M,-8.0,M,,*CS"
//   "$GPRMC,hhmmss.ss,A,ddmm.mmmm,N,dddmm.mmmm,E,knots,course,ddmmyy,,,A*CS"
// No 'N' or 'E' appears before the two hemisphere letters, so a reader that looks for the first of
// each finds them. Southern and western positions get 'S' and 'W'.
std::string gga_text(const GpsFix& fix);
std::string rmc_text(const GpsFix& fix);

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
