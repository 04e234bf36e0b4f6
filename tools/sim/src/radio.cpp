#include "radio.h"

#include <algorithm>
#include <cmath>

#include "noise.h"

namespace scanlink::sim {
namespace {

constexpr double kNoiseFloorDbm = -110;
constexpr double kNoiseRippleDb = 1.0;    // deviation of the floor from point to point
constexpr double kEirpDbm = 43;           // a macro cell's transmit power with antenna gain
constexpr double kShadowDb = 6;           // deviation of the slow fading
constexpr double kShadowGridM = 50;       // it changes over this many metres
constexpr double kCarrierRippleDb = 0.8;  // across a carrier, from one sweep point to the next
constexpr double kFastDb = 2.5;  // deviation of the fast fading from one report to the next
constexpr double kMastKm = 0.03;    // antenna height
constexpr double kNearestKm = 0.1;  // the closest the path loss is taken from
constexpr double kMetresPerDegree = 111320.0;
constexpr double kPi = 3.14159265358979323846;

// Chip rate bandwidths and the root-raised-cosine roll-off: 3.84 MHz and 1.28 MHz occupy
// (1 + 0.22) of that, the 5 MHz and 1.6 MHz channels.
constexpr double kWcdmaChipKhz = 3840, kTdChipKhz = 1280, kRollOff = 0.22;
constexpr double kLeakageDb = -45;  // outside the channel, what the transmitter filter lets by

// Channels the masts use when a list does not say: 5 MHz apart in the 2.1 GHz WCDMA band and
// 1.6 MHz apart in the 2010 MHz TD band.
constexpr std::uint32_t kWcdmaChannels[] = {10563, 10588, 10613, 10638};
constexpr std::uint32_t kTdChannels[] = {10055, 10063, 10071, 10079, 10087, 10095};

bool is_td_channel(std::uint32_t c) {
  return (c >= 9400 && c <= 9600) || (c >= 10050 && c <= 10125) || (c >= 11500 && c <= 12000);
}

double dbm_to_mw(double dbm) { return std::pow(10.0, dbm / 10); }
double mw_to_dbm(double mw) { return 10 * std::log10(mw); }

// Spectral shape of a carrier at `offset` kHz from its centre, 1 in the flat part.
double carrier_shape(double offset_khz, double chip_khz) {
  double a = std::fabs(offset_khz);
  double flat = (1 - kRollOff) * chip_khz / 2, edge = (1 + kRollOff) * chip_khz / 2;
  static const double leak = dbm_to_mw(kLeakageDb);
  if (a > 2 * edge) return 0;
  if (a <= flat) return 1;
  if (a <= edge) return std::max(leak, (1 + std::cos(kPi * (a - flat) / (edge - flat))) / 2);
  return leak;
}

// Shadowing at a place: normal values on a grid of kShadowGridM, interpolated between.
double shadow_db(std::uint32_t seed, std::size_t site, Position p) {
  double x = p.lon * kMetresPerDegree * std::cos(p.lat * kPi / 180) / kShadowGridM;
  double y = p.lat * kMetresPerDegree / kShadowGridM;
  auto ix = static_cast<std::int64_t>(std::floor(x)), iy = static_cast<std::int64_t>(std::floor(y));
  double fx = x - static_cast<double>(ix), fy = y - static_cast<double>(iy);
  auto at = [&](std::int64_t i, std::int64_t j) {
    return normal(seed, static_cast<std::int64_t>(site), i, j);
  };
  double top = at(ix, iy) * (1 - fx) + at(ix + 1, iy) * fx;
  double bottom = at(ix, iy + 1) * (1 - fx) + at(ix + 1, iy + 1) * fx;
  return kShadowDb * (top * (1 - fy) + bottom * fy);
}

}  // namespace

std::uint16_t level_field(double dbm) {
  return static_cast<std::uint16_t>(std::clamp(std::lround(dbm + kLevelOffsetDb), 0L, 65535L));
}

double channel_khz(std::uint32_t channel) {
  return channel >= 100000 ? channel : static_cast<double>(channel) * 200;
}

RadioModel::RadioModel(const std::vector<BaseStation>& stations, Position centre,
                       std::uint32_t seed)
    : seed_(seed) {
  std::size_t n = stations.empty() ? 6 : stations.size();
  for (std::size_t i = 0; i < n; ++i) {
    Site s;
    if (!stations.empty()) {
      s.position = stations[i].position;
      s.td_channel = is_td_channel(stations[i].key1) ? stations[i].key1
                                                     : kTdChannels[i % std::size(kTdChannels)];
    } else {
      // Masts on a ring of 1 to 2 km around the centre.
      double angle =
          2 * kPi * (static_cast<double>(i) + uniform({seed, 0x517E, std::int64_t(i), 0})) / 6;
      double km = 1 + uniform({seed, 0x517E, std::int64_t(i), 1});
      s.position = {centre.lon + km * 1000 * std::cos(angle) /
                                     (kMetresPerDegree * std::cos(centre.lat * kPi / 180)),
                    centre.lat + km * 1000 * std::sin(angle) / kMetresPerDegree};
      s.td_channel = kTdChannels[i % std::size(kTdChannels)];
    }
    s.wcdma_channel = kWcdmaChannels[i % std::size(kWcdmaChannels)];
    s.scrambling_code = static_cast<std::uint16_t>(i * 8);
    sites_.push_back(s);
  }
}

double RadioModel::cell_level_dbm(std::size_t site, Position here, std::uint64_t draw) const {
  const Site& s = sites_.at(site);
  // Macro-cell path loss at 2 GHz, from the antenna up its mast; below a hundred metres the
  // street stays in the shadow of the downtilted beam, so the loss goes no lower.
  double km = std::max(kNearestKm, std::hypot(geo_distance_km(here, s.position), kMastKm));
  double loss = 128.1 + 37.6 * std::log10(km);
  double fast = kFastDb * normal(seed_, static_cast<std::int64_t>(site), 0xFA57,
                                 static_cast<std::int64_t>(draw));
  return kEirpDbm - loss + shadow_db(seed_, site, here) + fast;
}

std::vector<double> RadioModel::levels_mw(Position here, std::uint64_t draw) const {
  std::vector<double> mw;
  mw.reserve(sites_.size());
  for (std::size_t i = 0; i < sites_.size(); ++i)
    mw.push_back(dbm_to_mw(cell_level_dbm(i, here, draw)));
  return mw;
}

double RadioModel::power_at(Family family, double khz, const std::vector<double>& levels_mw,
                            std::uint64_t draw, std::int64_t point) const {
  bool td = family == Family::kTd;
  double mw =
      dbm_to_mw(kNoiseFloorDbm +
                kNoiseRippleDb * normal(seed_, 0x0F100, static_cast<std::int64_t>(draw), point));
  double carriers = 0;
  for (std::size_t i = 0; i < sites_.size(); ++i) {
    double centre = channel_khz(td ? sites_[i].td_channel : sites_[i].wcdma_channel);
    carriers += carrier_shape(khz - centre, td ? kTdChipKhz : kWcdmaChipKhz) * levels_mw[i];
  }
  // Multipath makes the top of a carrier uneven from one frequency to the next.
  double ripple = kCarrierRippleDb * normal(seed_, 0xC0A7, static_cast<std::int64_t>(draw), point);
  return mw_to_dbm(mw + carriers * dbm_to_mw(ripple));
}

double RadioModel::channel_power_dbm(Family family, double centre_khz, Position here,
                                     std::uint64_t draw) const {
  return power_at(family, centre_khz, levels_mw(here, draw), draw, -1);
}

std::vector<double> RadioModel::spectrum_dbm(Family family, double start_khz, double step_khz,
                                             std::size_t points, Position here,
                                             std::uint64_t draw) const {
  std::vector<double> levels = levels_mw(here, draw);
  std::vector<double> out;
  out.reserve(points);
  for (std::size_t k = 0; k < points; ++k)
    out.push_back(power_at(family, start_khz + step_khz * static_cast<double>(k), levels, draw,
                           static_cast<std::int64_t>(k)));
  return out;
}

}  // namespace scanlink::sim
