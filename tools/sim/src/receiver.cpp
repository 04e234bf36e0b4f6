#include "receiver.h"

#include <algorithm>
#include <cmath>

#include "noise.h"

namespace scanlink::sim {
namespace {

constexpr double kGroundMetresPerDegree = 111320.0;
constexpr double kGroundDegToRad = 3.14159265358979323846 / 180.0;
constexpr double kSkyChangeS = 45;  // satellites rise, set and hide behind buildings this often

// Ground height: gentle slopes of a few metres over hundreds of metres, the same on every lap.
double ground_m(Position p) {
  double x = p.lon * kGroundMetresPerDegree * std::cos(p.lat * kGroundDegToRad);
  double y = p.lat * kGroundMetresPerDegree;
  return 48 + 5 * std::sin(x / 700) + 3 * std::cos(y / 450);
}

}  // namespace

GpsFix gps_fix(const Route& route, std::uint32_t seed, std::int64_t k, double start_utc_s) {
  Motion m = route.motion(static_cast<double>(k));
  GpsFix fix;
  fix.utc_s = start_utc_s + static_cast<double>(k);
  fix.position = m.position;
  fix.speed_mps = m.speed_mps;
  fix.course_deg = m.course_deg;
  fix.altitude_m = ground_m(m.position) + 0.4 * normal(seed, 0xA171, k, 0);
  auto sky = static_cast<std::int64_t>(std::floor(static_cast<double>(k) / kSkyChangeS));
  fix.satellites = 7 + static_cast<int>(uniform({seed, 0x5A75, sky}) * 5);  // 7 to 11
  fix.hdop = std::round((0.5 + 4.2 / fix.satellites) * 10) / 10;
  return fix;
}

std::string latest_sentence(const Route& route, std::uint32_t seed, double elapsed_s,
                            double start_utc_s) {
  double t = std::max(elapsed_s, kGgaDelayS);
  auto k = static_cast<std::int64_t>(std::floor(t - kRmcDelayS));
  double since = t - static_cast<double>(k);
  GpsFix fix = gps_fix(route, seed, k, start_utc_s);
  return since < kGgaDelayS ? rmc_text(fix) : gga_text(fix);
}

}  // namespace scanlink::sim
