// What the scanner's receiver sees at a point of the drive: the carriers of the base stations,
// each at its channel centre with its family's bandwidth, attenuated by path loss, shadowing and
// fading, over a noise floor near -110 dBm.
#pragma once

#include <cstdint>
#include <vector>

#include "bs_list.h"
#include "gps.h"
#include "scanner_model.h"

namespace scanlink::sim {

// Level fields of the reports carry dBm + 150 as an unsigned number (-110 dBm is 40).
constexpr double kLevelOffsetDb = 150;
std::uint16_t level_field(double dbm);

// A channel number (UARFCN, 200 kHz raster) or, from 100000 up, a frequency in kHz, as kHz.
double channel_khz(std::uint32_t channel);

struct Site {
  Position position;
  std::uint32_t td_channel = 0;     // carrier of the TD cell (the cell's key 1 where it is one)
  std::uint32_t wcdma_channel = 0;  // carrier of the WCDMA cell on the same mast
  std::uint16_t scrambling_code = 0;
};

class RadioModel {
 public:
  // The sites of the base stations of a list, or, for an empty list, six masts of its own around
  // `centre`. `seed` draws the shadowing and the fading.
  RadioModel(const std::vector<BaseStation>& stations, Position centre, std::uint32_t seed);

  const std::vector<Site>& sites() const { return sites_; }

  // Received level of site i's carrier at `here`; `draw` numbers the measurement (fast fading).
  double cell_level_dbm(std::size_t site, Position here, std::uint64_t draw) const;
  // Power in a channel of the family at `here`: the carriers on it over the noise floor.
  double channel_power_dbm(Family family, double centre_khz, Position here,
                           std::uint64_t draw) const;
  // A sweep: power at start + k * step kHz, k < points.
  std::vector<double> spectrum_dbm(Family family, double start_khz, double step_khz,
                                   std::size_t points, Position here, std::uint64_t draw) const;

 private:
  std::vector<double> levels_mw(Position here, std::uint64_t draw) const;
  double power_at(Family family, double khz, const std::vector<double>& levels_mw,
                  std::uint64_t draw, std::int64_t point) const;

  std::vector<Site> sites_;
  std::uint32_t seed_;
};

}  // namespace scanlink::sim
