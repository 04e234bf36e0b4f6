// The scanner's path: a closed polyline travelled at constant speed, over and over.
#pragma once

#include <string>
#include <vector>

#include "gps.h"

namespace scanlink::sim {

class Route {
 public:
  // A single waypoint, or a speed of 0, keeps the scanner at the first waypoint.
  Route(std::vector<Position> waypoints, double speed_mps);

  // A square with 1 km sides, starting at start and heading east first.
  static Route square(Position start, double speed_mps);

  Position at(double seconds) const;
  double length_m() const { return length_m_; }

 private:
  std::vector<Position> points_;  // closed: the last equals the first
  std::vector<double> cumulative_m_;
  double length_m_ = 0;
  double speed_mps_ = 0;
};

// "lon,lat" per line; blank lines and lines starting with '#' are ignored. Throws
// std::runtime_error.
std::vector<Position> load_route(const std::string& path);

}  // namespace scanlink::sim
