// The scanner's GPS receiver on the drive: a fix at every whole second after the simulator
// starts, sent first as an RMC sentence and then as a GGA; a report carries the latest sentence the
// scanner has received, so the reports between two fixes share one.
#pragma once

#include <cstdint>
#include <string>

#include "gps.h"
#include "route.h"

namespace scanlink::sim {

// Fix k is taken k seconds after the start; its sentences arrive this much later.
constexpr double kRmcDelayS = 0.15;
constexpr double kGgaDelayS = 0.25;

// Fix k of a drive that started at start_utc_s: the route's position, speed and course then, and
// an altitude and satellite count that the seed varies slowly.
GpsFix gps_fix(const Route& route, std::uint32_t seed, std::int64_t k, double start_utc_s);

// The sentence the scanner holds elapsed_s after the start (before the first one arrives, the
// first fix's GGA).
std::string latest_sentence(const Route& route, std::uint32_t seed, double elapsed_s,
                            double start_utc_s);

}  // namespace scanlink::sim
