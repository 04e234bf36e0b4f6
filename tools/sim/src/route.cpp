#include "route.h"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "noise.h"

namespace scanlink::sim {
namespace {

// Flat-earth metres per degree: plenty for a route of a few km.
constexpr double kMetresPerDegree = 111320.0;
constexpr double kPi = 3.14159265358979323846;
constexpr double kDegToRad = kPi / 180.0;

constexpr double kCornerM = 80;        // braking before a corner and speeding up after it
constexpr double kTrafficKnotM = 250;  // traffic changes the speed over this distance
constexpr double kSlowest = 0.1;       // of the cruising speed while rolling
constexpr double kBrakeMps2 = 1.3;     // braking for and pulling away from a stop
constexpr double kCrawlMps = 0.5;      // the slowest a rolling car is taken to be
// Traffic lights: at a corner one time in two, between corners every few hundred metres.
constexpr double kLightAtCorner = 0.5;
constexpr double kLightSpacingM = 300;
constexpr double kLightBetween = 0.2;
constexpr double kLightsApartM = 120;
constexpr double kShortestRedS = 6, kLongestRedS = 40;

double planar_distance_m(Position a, Position b) {
  double mid = (a.lat + b.lat) / 2 * kDegToRad;
  double dx = (b.lon - a.lon) * kMetresPerDegree * std::cos(mid);
  double dy = (b.lat - a.lat) * kMetresPerDegree;
  return std::hypot(dx, dy);
}

// Heading change at waypoint i of a closed polyline, 0 (straight on) to pi (turning back).
double turn_at(const std::vector<Position>& closed, std::size_t i) {
  std::size_t n = closed.size() - 1;  // the last point repeats the first
  const Position& prev = closed[(i + n - 1) % n];
  const Position& here = closed[i % n];
  const Position& next = closed[(i + 1) % n];
  double c = std::cos(here.lat * kDegToRad);
  double a1 = std::atan2(here.lat - prev.lat, (here.lon - prev.lon) * c);
  double a2 = std::atan2(next.lat - here.lat, (next.lon - here.lon) * c);
  double d = std::fabs(a2 - a1);
  return d > kPi ? 2 * kPi - d : d;
}

}  // namespace

Route::Route(std::vector<Position> waypoints, double speed_mps, std::uint32_t seed)
    : points_(std::move(waypoints)), speed_mps_(speed_mps), seed_(seed) {
  if (points_.empty()) points_.push_back(Position{});
  points_.push_back(points_.front());
  cumulative_m_.push_back(0);
  for (std::size_t i = 1; i < points_.size(); ++i) {
    length_m_ += planar_distance_m(points_[i - 1], points_[i]);
    cumulative_m_.push_back(length_m_);
  }
  if (length_m_ <= 0 || speed_mps_ <= 0) return;
  place_stops();
  // Steps of a few metres, cut at every stop; time from the speed in the middle of each step.
  double step_m = std::max(5.0, length_m_ / 20000);
  std::vector<double> cuts;
  for (double m = step_m; m < length_m_; m += step_m) cuts.push_back(m);
  for (const Stop& s : stops_) cuts.push_back(s.metres);
  std::sort(cuts.begin(), cuts.end());
  time_s_.push_back(0);
  metres_.push_back(0);
  std::size_t next_stop = 0;
  for (double to : cuts) {
    double from = metres_.back();
    if (to <= from) continue;
    time_s_.push_back(time_s_.back() + (to - from) / speed_at((from + to) / 2));
    metres_.push_back(to);
    while (next_stop < stops_.size() && stops_[next_stop].metres <= to) {
      time_s_.push_back(time_s_.back() + stops_[next_stop++].dwell_s);
      metres_.push_back(to);
    }
  }
  lap_s_ = time_s_.back();
}

void Route::place_stops() {
  auto red_s = [&](std::int64_t where) {
    return kShortestRedS + (kLongestRedS - kShortestRedS) * uniform({seed_, 0x5709, where, 1});
  };
  auto free_at = [&](double m) {
    for (const Stop& s : stops_)
      if (std::fabs(s.metres - m) < kLightsApartM) return false;
    return m > kLightsApartM && length_m_ - m > kLightsApartM;
  };
  for (std::size_t i = 1; i + 1 < points_.size(); ++i) {
    auto where = static_cast<std::int64_t>(i);
    if (turn_at(points_, i) > 0.3 && uniform({seed_, 0x5709, where, 0}) < kLightAtCorner &&
        free_at(cumulative_m_[i]))
      stops_.push_back({cumulative_m_[i], red_s(where)});
  }
  for (double m = kLightSpacingM; m < length_m_; m += kLightSpacingM) {
    auto where = 1000 + static_cast<std::int64_t>(m / kLightSpacingM);
    if (uniform({seed_, 0x5709, where, 0}) < kLightBetween && free_at(m))
      stops_.push_back({m, red_s(where)});
  }
  // Back at the start the lap ends with a stop, so every lap begins from standing.
  stops_.push_back({length_m_, red_s(0)});
  std::sort(stops_.begin(), stops_.end(),
            [](const Stop& a, const Stop& b) { return a.metres < b.metres; });
}

Route Route::drive(Position start, double speed_mps, std::uint32_t seed) {
  // Legs in metres east (x) and north (y) of the start; each corner moves by up to +-spread.
  auto jitter = [&](int corner, double spread) {
    return (uniform({seed, 0x0D21, corner}) * 2 - 1) * spread;
  };
  double x1 = 900 + jitter(1, 200), y2 = 450 + jitter(2, 150);
  double x3 = 1700 + jitter(3, 200), y4 = 1100 + jitter(4, 150);
  double x5 = 400 + jitter(5, 150);
  double x6 = x5 - 400 + jitter(6, 100), y6 = y4 - 400 + jitter(7, 100);  // the diagonal
  double x7 = -900 + jitter(8, 100), y8 = -1300 + jitter(9, 150);
  double x9 = 450 + jitter(10, 150), y10 = -400 + jitter(11, 100);
  const double xy[][2] = {{0, 0},   {x1, 0},  {x1, y2}, {x3, y2}, {x3, y4},  {x5, y4},
                          {x6, y6}, {x7, y6}, {x7, y8}, {x9, y8}, {x9, y10}, {0, y10}};
  double per_lon = kMetresPerDegree * std::cos(start.lat * kDegToRad);
  std::vector<Position> points;
  for (const auto& p : xy)
    points.push_back({start.lon + p[0] / per_lon, start.lat + p[1] / kMetresPerDegree});
  return Route(std::move(points), speed_mps, seed);
}

double Route::speed_at(double metres) const {
  if (speed_mps_ <= 0) return 0;
  // Traffic: a smooth factor between 0.55 and 1.25, drawn anew every knot.
  double knot = metres / kTrafficKnotM;
  auto k = static_cast<std::int64_t>(std::floor(knot));
  double f = (1 - std::cos((knot - static_cast<double>(k)) * kPi)) / 2;
  double a = uniform({seed_, 0x7AFF, k}), b = uniform({seed_, 0x7AFF, k + 1});
  double factor = 0.55 + 0.7 * (a + (b - a) * f);
  // Corners: the sharper the turn, the slower through it (a right angle about 0.35).
  for (std::size_t i = 0; i + 1 < points_.size(); ++i) {
    double away = std::fabs(metres - cumulative_m_[i]);
    if (i == 0) away = std::min(away, std::fabs(length_m_ - metres));
    if (away >= kCornerM) continue;
    double turn = turn_at(points_, i) / kPi;
    double slowest = 0.2 + 0.8 * (1 - turn) * (1 - turn);
    factor *= slowest + (1 - slowest) * away / kCornerM;
  }
  double v = speed_mps_ * std::max(kSlowest, factor);
  // Braking to each stop and pulling away from it (the lap starts where the last stop is).
  double nearest = metres;
  for (const Stop& s : stops_) nearest = std::min(nearest, std::fabs(s.metres - metres));
  return std::max(kCrawlMps, std::min(v, std::sqrt(2 * kBrakeMps2 * nearest)));
}

Position Route::position_along(double along) const {
  for (std::size_t i = 1; i < points_.size(); ++i) {
    if (along <= cumulative_m_[i]) {
      double seg = cumulative_m_[i] - cumulative_m_[i - 1];
      double f = seg > 0 ? (along - cumulative_m_[i - 1]) / seg : 0;
      const Position& a = points_[i - 1];
      const Position& b = points_[i];
      return {a.lon + (b.lon - a.lon) * f, a.lat + (b.lat - a.lat) * f};
    }
  }
  return points_.front();
}

double Route::course_along(double along) const {
  std::size_t i = 1;
  while (i + 1 < points_.size() && along > cumulative_m_[i]) ++i;
  const Position& a = points_[i - 1];
  const Position& b = points_[i];
  double east = (b.lon - a.lon) * std::cos((a.lat + b.lat) / 2 * kDegToRad);
  double course = std::atan2(east, b.lat - a.lat) / kDegToRad;
  return course < 0 ? course + 360 : course;
}

Motion Route::motion(double seconds) const {
  if (lap_s_ <= 0 || !(seconds > 0)) return {points_.front(), 0, course_along(0)};
  double t = std::fmod(seconds, lap_s_);
  auto it = std::upper_bound(time_s_.begin(), time_s_.end(), t);
  if (it == time_s_.end()) return {points_.front(), 0, course_along(0)};
  auto k = static_cast<std::size_t>(it - time_s_.begin());  // time_s_[k - 1] <= t
  double t0 = time_s_[k - 1], t1 = time_s_[k];
  double m0 = metres_[k - 1], m1 = metres_[k];
  double along = m0 + (m1 - m0) * (t1 > t0 ? (t - t0) / (t1 - t0) : 0);
  return {position_along(along), t1 > t0 ? (m1 - m0) / (t1 - t0) : 0, course_along(along)};
}

std::vector<Position> load_route(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw std::runtime_error("cannot open route file " + path);
  std::vector<Position> points;
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (line.empty() || line[0] == '#' || line.find_first_not_of(" \t\r") == std::string::npos)
      continue;
    std::istringstream fields(line);
    Position p;
    char comma = 0;
    if (!(fields >> p.lon >> comma >> p.lat) || comma != ',') {
      throw std::runtime_error(path + ":" + std::to_string(number) + ": expected lon,lat");
    }
    points.push_back(p);
  }
  if (points.empty()) throw std::runtime_error("route file " + path + " has no points");
  return points;
}

}  // namespace scanlink::sim
