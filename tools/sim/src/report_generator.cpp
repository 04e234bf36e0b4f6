#include "report_generator.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "noise.h"
#include "receiver.h"
#include "report_table.h"

namespace scanlink::sim {
namespace {

constexpr std::size_t kMaxValues = 50;       // value-list slots of the receiver
constexpr std::size_t kMaxCellRecords = 20;  // keeps a cell-record report well inside one frame
constexpr std::size_t kMaxTdCells = 38;  // TD cell records without fingers in a 2048-byte payload
constexpr std::size_t kMaxTdCellsFinger = 16;  // and with fingers
constexpr std::size_t kProfileRecords = 2;
constexpr std::size_t kProfilePoints = 144;
constexpr std::size_t kValueListChannels = 8;  // a value list without a list of its own
constexpr std::uint32_t kFirstWcdmaChannel = 10563;
constexpr std::uint32_t kWcdmaSpacing = 25;  // 5 MHz
constexpr double kUnknownCellDbm = -104;     // a listed cell that no mast of the model carries

struct SweepRange {
  std::uint32_t start, end, step;
};

Json level_values(std::size_t n, std::uint32_t seed, std::uint32_t base, std::uint32_t spread) {
  Json values = Json::array();
  for (std::size_t i = 0; i < n; ++i)
    values.push_back(base + (seed * 7 + static_cast<std::uint32_t>(i) * 13) % spread);
  return values;
}

// A listed frequency: a number, or the first value of a pair.
std::uint32_t listed_channel(const Json& entry) {
  if (entry.is_number_unsigned()) return entry.get<std::uint32_t>();
  return entry.is_object() ? entry.value("first", 0u) : 0;
}

const Json& entries_of(const ScanPlan& plan) {
  static const Json kEmpty = Json::array();
  auto it = plan.fields.find("entries");
  return it != plan.fields.end() && it->is_array() ? *it : kEmpty;
}

std::uint32_t u32_field(const Json& fields, const char* name) {
  return fields.value(name, std::uint32_t{0});
}

// A sweep range from the scan mode when it is usable, else a fixed band.
SweepRange sweep_range(const ScanPlan& plan) {
  bool td = plan.family == Family::kTd;
  SweepRange r{u32_field(plan.fields, td ? "sa1" : "value1"),
               u32_field(plan.fields, td ? "sa2" : "value2"),
               u32_field(plan.fields, td ? "sa3" : "value3")};
  bool usable = r.step > 0 && r.end >= r.start && (r.end - r.start) / r.step < 1000;
  if (usable) return r;
  return td ? SweepRange{2010000, 2025000, 500} : SweepRange{2110000, 2170000, 2000};
}

std::int16_t clamp_i16(std::int64_t v) {
  return static_cast<std::int16_t>(std::clamp<std::int64_t>(
      v, std::numeric_limits<std::int16_t>::min(), std::numeric_limits<std::int16_t>::max()));
}

}  // namespace

std::uint16_t report_code_for(Family family, std::optional<std::uint8_t> mode) {
  if (family == Family::kWcdma) {
    switch (mode.value_or(0)) {
      case 1:
        return report_code::kCellRecords41;
      case 2:
        return report_code::kCellRecords257;
      case 3:
        return report_code::kCellRecords259;
      case 4:
        return report_code::kSweep;
      case 5:
        return report_code::kShortValueList;
      case 7:
        return report_code::kCellRecords;
      default:
        return report_code::kValueList;
    }
  }
  switch (mode.value_or(1)) {
    case 3:
      return report_code::kTdSweep;
    case 4:
      return report_code::kTdValueList;
    case 5:
    case 8:
      return report_code::kTdShortProfile;
    case 6:
      return report_code::kTdProfile;
    default:
      return report_code::kTdCells;
  }
}

ReportGenerator::ReportGenerator(GeneratorConfig config, std::vector<BaseStation> stations,
                                 Route route)
    : config_(config),
      stations_(std::move(stations)),
      route_(std::move(route)),
      radio_(stations_, route_.at(0), config.seed) {}

bool ReportGenerator::is_bad_cell(std::size_t station_index) const {
  return config_.bad_cell_every > 0 && (station_index + 1) % config_.bad_cell_every == 0;
}

GeneratedReport ReportGenerator::next(const ScanPlan& plan, double elapsed_s, double start_utc_s) {
  ++sequence_;
  if (config_.status_every > 0 && sequence_ % config_.status_every == 0) return status(plan.family);
  std::string gps = latest_sentence(route_, config_.seed, elapsed_s, start_utc_s);
  // Levels where the car is now; delays (td_cells) from the position of the latest fix.
  Position here = route_.at(elapsed_s);
  std::uint16_t c = report_code_for(plan.family, plan.mode);
  GeneratedReport r;
  switch (c) {
    case report_code::kValueList:
      r = value_list(plan, gps, here, false);
      break;
    case report_code::kTdValueList:
      r = value_list(plan, gps, here, true);
      break;
    case report_code::kShortValueList:
      r = short_value_list(here);
      break;
    case report_code::kCellRecords:
    case report_code::kCellRecords41:
    case report_code::kCellRecords257:
    case report_code::kCellRecords259:
      r = cell_records(c, plan, gps, here);
      break;
    case report_code::kSweep:
    case report_code::kTdSweep:
      r = sweep(c, plan, here);
      break;
    case report_code::kTdProfile:
      r = td_profile(gps);
      break;
    case report_code::kTdShortProfile:
      r = td_short_profile(gps);
      break;
    default:
      r = td_cells(plan, gps, here);
      break;
  }
  r.detail["sequence"] = sequence_;
  return r;
}

GeneratedReport ReportGenerator::value_list(const ScanPlan& plan, const std::string& gps,
                                            Position here, bool td) {
  // A frequency-list scan measures the power in each listed channel, otherwise the first channels
  // of the band.
  bool freq_list = plan.mode == (td ? 4 : 8);
  const Json& listed = entries_of(plan);
  std::size_t n = freq_list ? std::min(listed.size(), kMaxValues) : kValueListChannels;
  Json values = Json::array();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t channel =
        freq_list ? listed_channel(listed[i])
                  : kFirstWcdmaChannel + static_cast<std::uint32_t>(i) * kWcdmaSpacing;
    values.push_back(level_field(radio_.channel_power_dbm(td ? Family::kTd : Family::kWcdma,
                                                          channel_khz(channel), here, sequence_)));
  }
  Json f{{"headerByte", 1},
         {"gpsText", gps},
         {"headerValue1", sequence_},
         {"headerValue2", plan.mode.value_or(0)}};
  if (!td) f["headerValue3"] = n;
  f["count"] = n;
  f["values"] = values;
  std::uint16_t c = td ? report_code::kTdValueList : report_code::kValueList;
  return {c, encode(*report_layout(c), f), {{"count", n}}};
}

GeneratedReport ReportGenerator::short_value_list(Position here) {
  constexpr std::size_t n = 5;
  Json values = Json::array();
  for (std::uint32_t i = 0; i < n; ++i) {
    values.push_back(level_field(radio_.channel_power_dbm(
        Family::kWcdma, channel_khz(kFirstWcdmaChannel + i * kWcdmaSpacing), here, sequence_)));
  }
  Json f{{"count", n}, {"reportValue", sequence_}, {"values", values}, {"tail", 0x5A}};
  return {report_code::kShortValueList,
          encode(*report_layout(report_code::kShortValueList), f),
          {{"count", n}}};
}

Json ReportGenerator::cell_levels(std::size_t site, Position here, std::size_t n,
                                  std::uint32_t draw) const {
  Json values = Json::array();
  for (std::size_t i = 0; i < n; ++i) {
    std::uint64_t d = static_cast<std::uint64_t>(draw) * 64 + i;
    values.push_back(level_field(site < radio_.sites().size()
                                     ? radio_.cell_level_dbm(site, here, d)
                                     : kUnknownCellDbm + static_cast<double>(d % 5)));
  }
  return values;
}

GeneratedReport ReportGenerator::cell_records(std::uint16_t c, const ScanPlan& plan,
                                              const std::string& gps, Position here) {
  const Json& listed = entries_of(plan);
  bool from_list = plan.mode == 7 && !listed.empty();
  const std::vector<Site>& sites = radio_.sites();
  std::size_t n =
      from_list ? std::min(listed.size(), kMaxCellRecords) : std::min<std::size_t>(4, sites.size());
  Json records = Json::array();
  for (std::size_t i = 0; i < n; ++i) {
    auto idx = static_cast<std::uint32_t>(i);
    const Site& site = sites[i % sites.size()];
    std::uint32_t freq = from_list ? listed[i].value("first", 0u) : site.wcdma_channel;
    std::uint32_t code_no = from_list ? listed[i].value("second", 0u) : site.scrambling_code;
    Json entries = Json::array();
    for (std::uint32_t j = 0; j < idx % 3; ++j)
      entries.push_back({{"first", freq}, {"second", code_no + j + 1}});
    records.push_back({{"value1", freq},
                       {"value2", code_no},
                       {"value3", cell_levels(i % sites.size(), here, 1, sequence_)[0]},
                       {"value4", 10 + idx},
                       {"value5", 20 + idx},
                       {"value6", 30 + idx},
                       {"count", entries.size()},
                       {"entries", entries}});
  }
  Json f{{"headerByte", 1},
         {"gpsText", gps},
         {"headerValue1", sequence_},
         {"headerValue2", plan.mode.value_or(0)},
         {"count", n},
         {"reportValue", sequence_},
         {"records", records}};
  return {c, encode(*report_layout(c), f), {{"count", n}}};
}

GeneratedReport ReportGenerator::sweep(std::uint16_t c, const ScanPlan& plan, Position here) {
  SweepRange r = sweep_range(plan);
  std::size_t points = (r.end - r.start) / r.step + 1;
  Json levels = Json::array();
  for (double dbm : radio_.spectrum_dbm(plan.family, r.start, r.step, points, here, sequence_))
    levels.push_back(level_field(dbm));
  Json f{{"start", r.start}, {"end", r.end}, {"step", r.step}, {"points", levels}};
  return {c, encode(*report_layout(c), f), {{"points", points}}};
}

// Rake fingers on the strongest paths of a cell: value 1 the path's delay in quarter chips,
// value 2 its level field, value 3 its share of the cell's power in percent, value 4 1 while
// locked. Unused fingers stay 0; the finger value counts the locked ones.
Json ReportGenerator::fingers(std::size_t record, std::int64_t delay, double level_dbm) const {
  auto key = static_cast<std::int64_t>(record);
  std::int64_t s = sequence_;
  auto paths = 2 + static_cast<std::uint32_t>(uniform({config_.seed, 0xF1D6, s, key}) * 3);
  std::vector<double> excess_qc, rel_db, mw;
  double sum_mw = 0;
  for (std::uint32_t f = 0; f < paths; ++f) {
    auto fk = static_cast<std::int64_t>(f);
    double extra =
        f == 0 ? 0
               : excess_qc.back() + 1 + std::floor(uniform({config_.seed, 0xF1D7, s, key, fk}) * 6);
    double rel = f == 0 ? 0 : -4.0 * f - 4 * uniform({config_.seed, 0xF1D8, s, key, fk});
    excess_qc.push_back(extra);
    rel_db.push_back(rel);
    mw.push_back(std::pow(10.0, rel / 10));
    sum_mw += mw.back();
  }
  Json list = Json::array();
  for (std::uint32_t f = 0; f < 4; ++f) {
    if (f >= paths) {
      list.push_back({{"value1", 0}, {"value2", 0}, {"value3", 0}, {"value4", 0}});
      continue;
    }
    list.push_back({{"value1", static_cast<std::uint32_t>(std::max<std::int64_t>(0, delay) +
                                                          static_cast<std::int64_t>(excess_qc[f]))},
                    {"value2", level_field(level_dbm + rel_db[f])},
                    {"value3", static_cast<std::uint32_t>(std::lround(100 * mw[f] / sum_mw))},
                    {"value4", 1}});
  }
  return Json{{"count", paths}, {"fingers", list}};
}

GeneratedReport ReportGenerator::td_cells(const ScanPlan& plan, const std::string& gps,
                                          Position now) {
  struct Cell {
    std::uint32_t key1, key2;
    std::optional<std::size_t> station;  // in the list
    std::optional<std::size_t> site;     // of the radio model
  };
  auto station_of = [&](std::uint32_t key1, std::uint32_t key2) -> std::optional<std::size_t> {
    for (std::size_t s = 0; s < stations_.size(); ++s) {
      if (stations_[s].key1 == key1 && stations_[s].key2 == key2) return s;
    }
    return std::nullopt;
  };

  std::size_t cap = std::min<std::size_t>(config_.cells_per_report,
                                          plan.finger ? kMaxTdCellsFinger : kMaxTdCells);
  std::vector<Cell> cells;
  const Json& listed = entries_of(plan);
  if (plan.mode == 1 && !listed.empty()) {
    // A cell-list scan measures the listed cells.
    for (std::size_t i = 0; i < listed.size() && cells.size() < cap; ++i) {
      std::uint32_t k1 = listed[i].value("first", 0u);
      std::uint32_t k2 = listed[i].value("second", 0u);
      auto s = station_of(k1, k2);
      cells.push_back({k1, k2, s, s});
    }
  } else if (!stations_.empty()) {
    // Otherwise the scanner hears the stations of the list in turn.
    for (std::size_t i = 0; i < std::min(cap, stations_.size()); ++i) {
      std::size_t s = (next_station_ + i) % stations_.size();
      cells.push_back({stations_[s].key1, stations_[s].key2, s, s});
    }
    next_station_ = (next_station_ + cells.size()) % stations_.size();
  } else {
    // Without a list, the masts of the model, which no receiver knows.
    const std::vector<Site>& sites = radio_.sites();
    for (std::size_t i = 0; i < std::min(cap, sites.size()); ++i) {
      std::size_t s = (next_station_ + i) % sites.size();
      cells.push_back({sites[s].td_channel, static_cast<std::uint32_t>(s), std::nullopt, s});
    }
    next_station_ = (next_station_ + cells.size()) % sites.size();
  }

  // Delays from where the receiver reads the scanner to be, so a good cell checks exactly.
  Position here = position_as_read(gps);
  Json records = Json::array();
  Json detail_cells = Json::array();
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const Cell& cell = cells[i];
    Json d{{"key1", cell.key1}, {"key2", cell.key2}};
    std::int64_t delay = 40 + 16 * static_cast<std::int64_t>(i);
    if (cell.site && !cell.station)
      delay = quarter_chips(geo_distance_km(here, radio_.sites()[*cell.site].position));
    if (cell.station) {
      std::int32_t expected =
          quarter_chips(geo_distance_km(here, stations_[*cell.station].position));
      bool bad = is_bad_cell(*cell.station);
      delay = static_cast<std::int64_t>(expected) + (bad ? config_.delay_error : 0);
      d["station"] = stations_[*cell.station].name;
      d["expected"] = expected;
      d["bad"] = bad;
    }
    d["delay"] = clamp_i16(delay);
    Json levels = cell_levels(cell.site.value_or(radio_.sites().size()), now, 21, sequence_);
    Json rec{
        {"key1", cell.key1}, {"key2", cell.key2}, {"values", levels}, {"delay", clamp_i16(delay)}};
    if (plan.finger) {
      Json f = fingers(i, clamp_i16(delay), levels[0].get<double>() - kLevelOffsetDb);
      rec["fingerValue"] = f["count"];
      rec["fingers"] = f["fingers"];
    }
    records.push_back(std::move(rec));
    detail_cells.push_back(std::move(d));
  }
  Json f{{"headerByte", 1},
         {"gpsText", gps},
         {"gpsMode", config_.gps_mode},
         {"reportByte", plan.mode.value_or(0)},
         {"count", records.size()},
         {"cells", records}};
  Json detail{{"count", records.size()},
              {"finger", plan.finger},
              {"gpsMode", config_.gps_mode},
              {"position", {{"lon", here.lon}, {"lat", here.lat}}},
              {"cells", detail_cells}};
  return {report_code::kTdCells, encode(*report_layout(report_code::kTdCells, plan.finger), f),
          detail};
}

GeneratedReport ReportGenerator::td_profile(const std::string& gps) {
  Json profiles = Json::array();
  for (std::uint32_t i = 0; i < kProfileRecords; ++i) {
    profiles.push_back({{"profileByte", i},
                        {"value1", 100 + i},
                        {"value2", 200 + i},
                        {"value3", 300 + i},
                        {"value4", 400 + i},
                        {"value5", 500 + i},
                        {"first", level_values(kProfilePoints, sequence_ + i, 1000, 200)},
                        {"second", level_values(kProfilePoints, sequence_ + i + 1, 2000, 200)}});
  }
  Json f{{"headerByte", 1},          {"gpsText", gps},      {"headerValue1", sequence_},
         {"headerValue2", 2},        {"headerValue3", 3},   {"headerValue4", 4},
         {"headerValue5", 5},        {"reportByte1", 1},    {"reportByte2", 2},
         {"count", kProfileRecords}, {"profiles", profiles}};
  return {report_code::kTdProfile,
          encode(*report_layout(report_code::kTdProfile), f),
          {{"count", kProfileRecords}}};
}

GeneratedReport ReportGenerator::td_short_profile(const std::string& gps) {
  Json profiles = Json::array();
  for (std::uint32_t i = 0; i < kProfileRecords; ++i) {
    profiles.push_back({{"profileByte", i},
                        {"value1", 100 + i},
                        {"value2", 200 + i},
                        {"first", level_values(kProfilePoints, sequence_ + i, 1000, 200)},
                        {"second", level_values(kProfilePoints, sequence_ + i + 1, 2000, 200)}});
  }
  Json f{{"headerByte", 1},          {"gpsText", gps},      {"headerValue1", sequence_},
         {"headerValue2", 2},        {"headerValue3", 3},   {"headerValue4", 4},
         {"count", kProfileRecords}, {"profiles", profiles}};
  return {report_code::kTdShortProfile,
          encode(*report_layout(report_code::kTdShortProfile), f),
          {{"count", kProfileRecords}}};
}

GeneratedReport ReportGenerator::status(Family family) {
  if (family == Family::kTd) {
    return {report_code::kTdStatus,
            encode(*report_layout(report_code::kTdStatus), {{"value1", sequence_}, {"value2", 87}}),
            {}};
  }
  return {report_code::kStatus, encode(*report_layout(report_code::kStatus), {{"value", 0}}), {}};
}

}  // namespace scanlink::sim
