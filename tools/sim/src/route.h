// The scanner's path: a closed polyline driven over and over, slower in corners and in traffic,
// with stops at traffic lights.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gps.h"

namespace scanlink::sim {

// Where the car is at a moment, and how it moves.
struct Motion {
  Position position;
  double speed_mps = 0;
  double course_deg = 0;  // true, clockwise from north
};

class Route {
 public:
  // A single waypoint, or a speed of 0, keeps the scanner at the first waypoint. speed_mps is the
  // cruising speed; corners and the seed's traffic take it down to a fraction of that, and the
  // seed's traffic lights to a stop.
  Route(std::vector<Position> waypoints, double speed_mps, std::uint32_t seed = 1);

  // A drive through the streets around start, about 10 km long, heading east first: right-angle
  // corners, one diagonal, legs whose lengths the seed varies by a few hundred metres.
  static Route drive(Position start, double speed_mps, std::uint32_t seed);

  Position at(double seconds) const { return motion(seconds).position; }
  Motion motion(double seconds) const;
  // Speed in m/s while rolling at a point of the lap, `metres` from the first waypoint.
  double speed_at(double metres) const;
  double length_m() const { return length_m_; }
  double lap_s() const { return lap_s_; }

  struct Stop {
    double metres;  // into the lap
    double dwell_s;
  };
  const std::vector<Stop>& stops() const { return stops_; }

 private:
  Position position_along(double metres) const;
  double course_along(double metres) const;
  void place_stops();

  std::vector<Position> points_;  // closed: the last equals the first
  std::vector<double> cumulative_m_;
  double length_m_ = 0;
  double speed_mps_ = 0;
  std::uint32_t seed_ = 1;
  std::vector<Stop> stops_;  // by distance; the last one ends the lap
  // The lap as a time table: metres into the lap at each time, rising linearly in between; a
  // stop is two rows with the same metres.
  std::vector<double> time_s_;
  std::vector<double> metres_;
  double lap_s_ = 0;
};

// "lon,lat" per line; blank lines and lines starting with '#' are ignored. Throws
// std::runtime_error.
std::vector<Position> load_route(const std::string& path);

}  // namespace scanlink::sim
