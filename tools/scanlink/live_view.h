// What the live page shows, kept from the records as they arrive: the route, the latest cells,
// sweep and link state. Batches go to the page at most every 100 ms, whatever the report rate.
#pragma once

#include <scanlink/scanlink.h>

#include <cstdint>
#include <deque>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "bs_list.h"
#include "gps_text.h"
#include "levels.h"

namespace scanlink::cli {

struct LiveCounters {
  uint64_t frames = 0, rejected = 0, skipped = 0, losses = 0, reconnections = 0;
};

class LiveView {
 public:
  static constexpr int64_t kBatchUs = 100000;
  static constexpr size_t kRoutePoints = 36000;  // an hour at the batch rate

  LiveView(std::vector<Station> stations, bool stationsLoaded, LevelConvention levels,
           std::string mode);

  // timeUs: when it arrived (UTC microseconds).
  void Record(const CCmdManage& record, int64_t timeUs);
  void Link(bool up, int64_t timeUs);
  void SetCounters(const LiveCounters& c) { counters_ = c; }

  // The batch collected since the last one, stamped nowUs; nothing when nothing changed (but the
  // status once a second, so the fix age goes on counting).
  std::optional<nlohmann::json> Batch(int64_t nowUs);
  // Everything a page that just connected needs: the settings, stations and route so far.
  nlohmann::json Snapshot(int64_t nowUs) const;

 private:
  void Place(const Position& where, std::optional<double> best, int64_t timeUs);
  double Level(double raw) const { return levels_.Convert(raw); }
  nlohmann::json Status(int64_t nowUs) const;

  std::vector<Station> stations_;
  bool stationsLoaded_;
  LevelConvention levels_;
  std::string mode_;
  bool up_ = true;
  bool lostSinceBatch_ = false;  // a loss shows in one batch at least, however short it was
  bool changed_ = false;
  int64_t batchUs_ = -1;
  std::deque<nlohmann::json> route_;  // [lat, lon, best level or null]
  std::optional<nlohmann::json> point_, cells_, sweep_;
  std::optional<Position> where_;
  int64_t fixUs_ = -1;
  std::optional<std::string> battery_;  // both values, as the readable output shows them
  std::string gps_;                     // the latest GPS text, as sent
  uint64_t reports_ = 0;
  LiveCounters counters_;
  int64_t lastUs_ = -1;
};

}  // namespace scanlink::cli
