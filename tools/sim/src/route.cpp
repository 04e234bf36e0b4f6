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
constexpr double kSlowest = 0.1;       // of the cruising speed: never a full stop, so time moves on

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
  // Time at every step along the lap, from the speed in the middle of the step.
  step_m_ = std::max(5.0, length_m_ / 20000);
  auto steps = static_cast<std::size_t>(std::ceil(length_m_ / step_m_));
  time_at_s_.reserve(steps + 1);
  time_at_s_.push_back(0);
  for (std::size_t k = 0; k < steps; ++k) {
    double from = static_cast<double>(k) * step_m_;
    double to = std::min(length_m_, from + step_m_);
    time_at_s_.push_back(time_at_s_.back() + (to - from) / speed_at((from + to) / 2));
  }
  lap_s_ = time_at_s_.back();
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
  return speed_mps_ * std::max(kSlowest, factor);
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

Position Route::at(double seconds) const {
  if (lap_s_ <= 0 || seconds <= 0) return points_.front();
  double t = std::fmod(seconds, lap_s_);
  auto it = std::upper_bound(time_at_s_.begin(), time_at_s_.end(), t);
  if (it == time_at_s_.end()) return points_.front();
  auto k = static_cast<std::size_t>(it - time_at_s_.begin());  // time_at_s_[k - 1] <= t
  double t0 = time_at_s_[k - 1], t1 = time_at_s_[k];
  double from = static_cast<double>(k - 1) * step_m_;
  double to = std::min(length_m_, from + step_m_);
  return position_along(from + (to - from) * (t1 > t0 ? (t - t0) / (t1 - t0) : 0));
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
