#include "live_view.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "export.h"
#include "gps_text.h"
#include "record_output.h"
#include "sweep_points.h"
#include "timestamp.h"
#include "verdict.h"

namespace scanlink::cli {
namespace {

using Json = nlohmann::json;

// A TD delay step (quarter chip) in metres: a chip is 1/1.28 µs of light.
constexpr double kChipMetres = 234.375;

double Rounded(double v, double unit) { return std::round(v / unit) * unit; }

template <typename Body>
std::optional<Position> Located(const Body& b) {
  return ParseGpsText(b.szGpsText, sizeof b.szGpsText);
}

template <typename T>
std::optional<double> Max(const T* values, size_t n) {
  if (n == 0) return std::nullopt;
  return *std::max_element(values, values + n);
}

}  // namespace

LiveView::LiveView(std::vector<Station> stations, bool stationsLoaded, LevelConvention levels,
                   std::string mode)
    : stations_(std::move(stations)),
      stationsLoaded_(stationsLoaded),
      levels_(std::move(levels)),
      mode_(std::move(mode)) {}

void LiveView::Place(const Position& where, std::optional<double> best, int64_t timeUs) {
  where_ = where;
  fixUs_ = timeUs;
  point_ = Json::array({Rounded(where.latitude, 1e-6), Rounded(where.longitude, 1e-6),
                        best ? Json(Rounded(Level(*best), 0.1)) : Json(nullptr)});
}

void LiveView::Record(const CCmdManage& m, int64_t timeUs) {
  lastUs_ = std::max(lastUs_, timeUs);
  if (auto text = GpsTextOf(m)) {
    gps_ = std::move(*text);
    changed_ = true;
  }
  if (m.nCode == 0xF031 && m.nTransID != SCANLINK_TRANS_BROADCAST) {
    battery_ = std::to_string(m.body.battery.nBatteryValue1) + " / " +
               std::to_string(m.body.battery.nBatteryValue2);
    changed_ = true;
    return;
  }
  if (m.nTransID != SCANLINK_TRANS_BROADCAST || m.nCode == 0xFFEE) return;
  ++reports_;
  changed_ = true;
  switch (m.nCode) {
    case 0xF025:
    case 40:
    case 41:
    case 257:
    case 259: {
      // The same cells, levels, delays, distances and verdicts as the exports.
      const auto row = Measured(m, timeUs, stations_, stationsLoaded_);
      Json rows = Json::array();
      std::optional<double> best;
      for (const ExportCell& c : row->cells) {
        Json j{{"cell", c.key}};
        if (c.levelRaw) {
          best = std::max(best.value_or(*c.levelRaw), *c.levelRaw);
          j["level"] = Rounded(Level(*c.levelRaw), 0.1);
        }
        if (c.delay) {
          j["delayChips"] = *c.delay / 4.0;
          j["delayM"] = Rounded(*c.delay / 4.0 * kChipMetres, 1);
        }
        if (c.verdict) j["verdict"] = VerdictName(*c.verdict);
        for (size_t k = 0; k < stations_.size(); ++k) {
          if (std::to_string(stations_[k].key1) + "/" + std::to_string(stations_[k].key2) != c.key)
            continue;
          j["station"] = k;
          break;
        }
        if (c.distanceM) j["distM"] = Rounded(*c.distanceM, 1);
        rows.push_back(std::move(j));
      }
      cells_ = Json{{"code", m.nCode}, {"rows", std::move(rows)}};
      if (row->where) Place(*row->where, best, timeUs);
      break;
    }
    case 36:
    case 0xF027: {
      const bool td = m.nCode == 0xF027;
      const uint16_t* values = td ? m.body.tdValueList.aValues : m.body.valueList.aValues;
      const size_t n = std::min<size_t>(td ? m.body.tdValueList.nCount : m.body.valueList.nCount,
                                        SCANLINK_VALUE_SLOTS);
      const auto where = td ? Located(m.body.tdValueList) : Located(m.body.valueList);
      if (where) Place(*where, Max(values, n), timeUs);
      break;
    }
    case 0xF100:
      if (const auto where = Located(m.body.tdProfile)) Place(*where, std::nullopt, timeUs);
      break;
    case 0xF102:
      if (const auto where = Located(m.body.tdShortProfile)) Place(*where, std::nullopt, timeUs);
      break;
    case 73:
    case 0xF026: {
      const _SweepReport& s = m.body.sweep;
      const int n = std::min<int>(SweepPoints(m), SCANLINK_SWEEP_SLOTS);
      Json levels = Json::array();
      for (int i = 0; i < n; ++i) levels.push_back(Rounded(Level(s.aPoints[i]), 0.1));
      sweep_ = Json{{"startKHz", s.nStart}, {"stepKHz", s.nStep}, {"levels", std::move(levels)}};
      break;
    }
    default:
      break;
  }
}

void LiveView::Link(bool up, int64_t timeUs) {
  lastUs_ = std::max(lastUs_, timeUs);
  up_ = up;
  lostSinceBatch_ = lostSinceBatch_ || !up;
  changed_ = true;
}

Json LiveView::Status(int64_t nowUs) const {
  Json j{{"time", IsoTime(nowUs)},
         {"link", up_ && !lostSinceBatch_ ? "up" : "down"},
         {"reports", reports_},
         {"counters",
          {{"frames", counters_.frames},
           {"rejected", counters_.rejected},
           {"skipped", counters_.skipped},
           {"losses", counters_.losses},
           {"reconnections", counters_.reconnections}}},
         {"gps", gps_},
         {"battery", battery_ ? Json(*battery_) : Json(nullptr)},
         {"fixAgeS", fixUs_ >= 0 ? Json(Rounded((nowUs - fixUs_) / 1e6, 0.1)) : Json(nullptr)}};
  return j;
}

std::optional<Json> LiveView::Batch(int64_t nowUs) {
  if (!changed_ && batchUs_ >= 0 && nowUs - batchUs_ < 1000000) return std::nullopt;
  batchUs_ = nowUs;
  Json j = Status(nowUs);
  // A link lost and back within one batch is told as down now and up in the next.
  changed_ = lostSinceBatch_ && up_;
  lostSinceBatch_ = false;
  if (point_) {
    route_.push_back(*point_);
    if (route_.size() > kRoutePoints) route_.pop_front();
    j["point"] = std::move(*point_);
  }
  if (cells_) j["cells"] = std::move(*cells_);
  if (sweep_) j["sweep"] = std::move(*sweep_);
  point_.reset();
  cells_.reset();
  sweep_.reset();
  return j;
}

Json LiveView::Snapshot(int64_t nowUs) const {
  Json stations = Json::array();
  for (const Station& s : stations_)
    stations.push_back({{"name", s.name},
                        {"cell", std::to_string(s.key1) + "/" + std::to_string(s.key2)},
                        {"lat", s.latitude},
                        {"lon", s.longitude}});
  Json route = Json::array();
  for (const Json& p : route_) route.push_back(p);
  // The exports' colour bands, so the map and a KML of the same drive agree.
  Json bands = Json::array();
  for (const LevelBand& b : LevelBands())
    bands.push_back({{"from", b.from > -1e9 ? Json(b.from) : Json(nullptr)},
                     {"colour", std::string("#") + b.colour},
                     {"label", b.label}});
  Json j{{"mode", mode_},
         {"levelUnit", levels_.Unit()},
         {"bands", std::move(bands)},
         {"stations", std::move(stations)},
         {"route", std::move(route)},
         {"status", Status(nowUs)}};
  return j;
}

}  // namespace scanlink::cli
