#include "gps.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace scanlink::sim {
namespace {

constexpr double kPi =
    3.141592653589;  // the receiver's 13-digit value, so results match bit for bit
constexpr double kOneOver180 = 0.005555555555555556;
constexpr double kEquatorialRadiusKm = 6378.137;
constexpr double kCorrectionKm = 5.346171438705126;
constexpr double kChipKm = 0.234375;
constexpr double kOneOver60 = 0.016666666666666666;

// |value| as whole degrees and minutes with 4 decimals, rounded once so 59.99995' carries into
// degrees.
void split_degrees(double value, long& degrees, long& minutes, long& fraction) {
  long total = std::lround(std::fabs(value) * 60.0 * 10000.0);
  degrees = total / 600000;
  minutes = (total % 600000) / 10000;
  fraction = total % 10000;
}

// What a receiver reads when the text has no number it can find.
constexpr Position kUnreadable{180.0, 90.0};
// A receiver reads at most this much of the text, and only up to a NUL.
constexpr std::size_t kGpsTextSize = 119;
// A receiver looks for the comma in front of a number from the 2nd to the 13th character before
// its letter, no farther.
constexpr std::size_t kCommaNearest = 2;
constexpr std::size_t kCommaFarthest = 13;

// The number in front of the first <letter>: from the comma before it up to the letter.
std::optional<std::string_view> number_before(std::string_view text, char letter) {
  std::size_t at = text.find(letter);
  if (at == std::string_view::npos) return std::nullopt;
  for (std::size_t back = kCommaNearest; back <= kCommaFarthest && back <= at; ++back) {
    if (text[at - back] == ',') return text.substr(at - back + 1, back - 1);
  }
  return std::nullopt;
}

double read_number(std::string_view number, std::size_t degree_digits) {
  std::size_t split = std::min(number.size(), degree_digits);
  std::string deg(number.substr(0, split));
  std::string minutes(number.substr(split));
  return static_cast<double>(std::atoi(deg.c_str())) +
         std::strtod(minutes.c_str(), nullptr) * kOneOver60;
}

}  // namespace

std::string gps_text(Position p, int seconds_of_day) {
  long lat_deg = 0, lat_min = 0, lat_frac = 0, lon_deg = 0, lon_min = 0, lon_frac = 0;
  split_degrees(p.lat, lat_deg, lat_min, lat_frac);
  split_degrees(p.lon, lon_deg, lon_min, lon_frac);
  int s = ((seconds_of_day % 86400) + 86400) % 86400;
  char body[128];
  std::snprintf(
      body, sizeof body,
      "GPGGA,%02d%02d%02d.00,%02ld%02ld.%04ld,%c,%03ld%02ld.%04ld,%c,1,08,0.9,50.0,M,0.0,M,,",
      s / 3600, s / 60 % 60, s % 60, lat_deg, lat_min, lat_frac, p.lat < 0 ? 'S' : 'N', lon_deg,
      lon_min, lon_frac, p.lon < 0 ? 'W' : 'E');
  unsigned checksum = 0;
  for (const char* c = body; *c != '\0'; ++c) checksum ^= static_cast<unsigned char>(*c);
  char sentence[160];
  std::snprintf(sentence, sizeof sentence, "$%s*%02X", body, checksum);
  return sentence;
}

Position position_as_read(std::string_view text) {
  text = text.substr(0, std::min(text.find('\0'), kGpsTextSize));
  std::optional<std::string_view> lon = number_before(text, 'E');
  std::optional<std::string_view> lat = number_before(text, 'N');
  if (!lon || !lat) return kUnreadable;
  return {read_number(*lon, 3), read_number(*lat, 2)};
}

double geo_distance_km(Position a, Position b) {
  double phi1 = a.lat * kPi * kOneOver180;
  double phi2 = b.lat * kPi * kOneOver180;
  double s1 = std::sin(phi1);
  double s2 = std::sin(phi2);
  double delta = (b.lon - a.lon) * kPi * kOneOver180;
  double x = std::cos(phi1) * std::cos(phi2) * std::cos(delta) + s1 * s2;
  if (x >= 1.0) return 0.0;  // same place (or rounding past it): the correction would be 0/0
  if (x < -1.0) x = -1.0;
  double sigma = std::acos(x);
  double sum = s1 + s2;
  double diff = s1 - s2;
  double t1 = (3 * std::sin(sigma) - sigma) * sum * sum / (1 + std::cos(sigma));
  double t2 = (3 * std::sin(sigma) + sigma) * diff * diff / (1 - std::cos(sigma));
  return kEquatorialRadiusKm * sigma + kCorrectionKm * (t1 - t2);
}

std::int32_t quarter_chips(double km) { return static_cast<std::int32_t>(km / kChipKm * 4); }

}  // namespace scanlink::sim
