#include "gps.h"

#include <algorithm>
#include <chrono>
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

constexpr double kKnotsPerMps = 3600.0 / 1852.0;
constexpr double kGeoidSeparationM = -8.0;  // near the default start; close enough elsewhere

// "$" + body + "*" + the XOR of the body's bytes in hex.
std::string sentence(const char* body) {
  unsigned checksum = 0;
  for (const char* c = body; *c != '\0'; ++c) checksum ^= static_cast<unsigned char>(*c);
  char out[160];
  std::snprintf(out, sizeof out, "$%s*%02X", body, checksum);
  return out;
}

struct UtcParts {
  long long centiseconds_of_day;
  std::chrono::year_month_day date;
};

UtcParts utc_parts(double utc_s) {
  constexpr long long kDay = 86400LL * 100;
  long long cs = std::llround(utc_s * 100);
  long long days = cs >= 0 ? cs / kDay : -((-cs + kDay - 1) / kDay);
  return {cs - days * kDay,
          std::chrono::year_month_day(std::chrono::sys_days(std::chrono::days(days)))};
}

// "hhmmss.ss,ddmm.mmmm,N,dddmm.mmmm,E" (with the status letter between time and position for RMC).
std::string time_and_position(const GpsFix& fix, const char* after_time) {
  long lat_deg = 0, lat_min = 0, lat_frac = 0, lon_deg = 0, lon_min = 0, lon_frac = 0;
  split_degrees(fix.position.lat, lat_deg, lat_min, lat_frac);
  split_degrees(fix.position.lon, lon_deg, lon_min, lon_frac);
  long long cs = utc_parts(fix.utc_s).centiseconds_of_day;
  char text[96];
  std::snprintf(text, sizeof text,
                "%02lld%02lld%02lld.%02lld,%s%02ld%02ld.%04ld,%c,%03ld%02ld.%04ld,%c", cs / 360000,
                cs / 6000 % 60, cs / 100 % 60, cs % 100, after_time, lat_deg, lat_min, lat_frac,
                fix.position.lat < 0 ? 'S' : 'N', lon_deg, lon_min, lon_frac,
                fix.position.lon < 0 ? 'W' : 'E');
  return text;
}

}  // namespace

std::string gga_text(const GpsFix& fix) {
  char body[128];
  std::snprintf(body, sizeof body, "GPGGA,%s,1,%02d,%.1f,%.1f,M,%.1f,M,,",
                time_and_position(fix, "").c_str(), std::clamp(fix.satellites, 0, 99), fix.hdop,
                fix.altitude_m, kGeoidSeparationM);
  return sentence(body);
}

std::string rmc_text(const GpsFix& fix) {
  std::chrono::year_month_day date = utc_parts(fix.utc_s).date;
  char body[128];
  std::snprintf(body, sizeof body, "GPRMC,%s,%.1f,%.1f,%02u%02u%02d,,,A",
                time_and_position(fix, "A,").c_str(), fix.speed_mps * kKnotsPerMps, fix.course_deg,
                static_cast<unsigned>(date.day()), static_cast<unsigned>(date.month()),
                static_cast<int>(date.year()) % 100);
  return sentence(body);
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
