#include "route.h"

#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace scanlink::sim {
namespace {

// Flat-earth metres per degree: plenty for a route of a few km.
constexpr double kMetresPerDegree = 111320.0;
constexpr double kDegToRad = 3.14159265358979323846 / 180.0;

double planar_distance_m(Position a, Position b) {
  double mid = (a.lat + b.lat) / 2 * kDegToRad;
  double dx = (b.lon - a.lon) * kMetresPerDegree * std::cos(mid);
  double dy = (b.lat - a.lat) * kMetresPerDegree;
  return std::hypot(dx, dy);
}

}  // namespace

Route::Route(std::vector<Position> waypoints, double speed_mps)
    : points_(std::move(waypoints)), speed_mps_(speed_mps) {
  if (points_.empty()) points_.push_back(Position{});
  points_.push_back(points_.front());
  cumulative_m_.push_back(0);
  for (std::size_t i = 1; i < points_.size(); ++i) {
    length_m_ += planar_distance_m(points_[i - 1], points_[i]);
    cumulative_m_.push_back(length_m_);
  }
}

Route Route::square(Position start, double speed_mps) {
  double dlat = 1000.0 / kMetresPerDegree;
  double dlon = 1000.0 / (kMetresPerDegree * std::cos(start.lat * kDegToRad));
  return Route({start,
                {start.lon + dlon, start.lat},
                {start.lon + dlon, start.lat + dlat},
                {start.lon, start.lat + dlat}},
               speed_mps);
}

Position Route::at(double seconds) const {
  if (length_m_ <= 0 || speed_mps_ <= 0 || seconds <= 0) return points_.front();
  double along = std::fmod(seconds * speed_mps_, length_m_);
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
