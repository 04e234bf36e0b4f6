// Measurement reports and status frames that a running scan produces, one frame per tick.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "bs_list.h"
#include "radio.h"
#include "route.h"
#include "scanner_model.h"

namespace scanlink::sim {

struct GeneratorConfig {
  std::uint32_t gps_mode = 1;          // GPS mode field of TD cell reports
  std::int32_t delay_error = 0;        // quarter chips added to the delay of the bad cells
  std::uint32_t bad_cell_every = 0;    // every K-th base station (1-based) is a bad cell; 0 = none
  std::uint32_t cells_per_report = 8;  // TD cell records per report, before the payload limit
  std::uint32_t status_every = 10;     // every N-th frame is a status frame; 0 = never
  std::uint32_t seed = 1;              // draws the masts of its own, shadowing and fading
};

struct GeneratedReport {
  std::uint16_t code = 0;
  Bytes payload;
  Json detail = Json::object();  // what a test may want to compare with the decoded report
};

// The report code a scan produces for a family and a scan mode (see README.md).
std::uint16_t report_code_for(Family family, std::optional<std::uint8_t> mode);

class ReportGenerator {
 public:
  ReportGenerator(GeneratorConfig config, std::vector<BaseStation> stations, Route route);

  // The next frame of a scan, at elapsed seconds since the simulator started at start_utc_s
  // (seconds since 1970 UTC; the GPS fixes are taken whole seconds after it).
  GeneratedReport next(const ScanPlan& plan, double elapsed_s, double start_utc_s);

  // Whether station i (0-based, in list order) reports a delay that disagrees with its distance.
  bool is_bad_cell(std::size_t station_index) const;

  void reset() { sequence_ = 0; }

 private:
  GeneratedReport value_list(const ScanPlan& plan, const std::string& gps, Position here, bool td);
  GeneratedReport short_value_list(Position here);
  GeneratedReport cell_records(std::uint16_t code, const ScanPlan& plan, const std::string& gps,
                               Position here);
  GeneratedReport sweep(std::uint16_t code, const ScanPlan& plan, Position here);
  GeneratedReport td_cells(const ScanPlan& plan, const std::string& gps, Position here);
  Json fingers(std::size_t record, std::int64_t delay, double level_dbm) const;
  Json cell_levels(std::size_t site, Position here, std::size_t n, std::uint32_t draw) const;
  GeneratedReport td_profile(const std::string& gps);
  GeneratedReport td_short_profile(const std::string& gps);
  GeneratedReport status(Family family);

  GeneratorConfig config_;
  std::vector<BaseStation> stations_;
  Route route_;
  RadioModel radio_;  // the list's stations or, without a list, masts of its own
  std::uint32_t sequence_ = 0;
  std::size_t next_station_ = 0;
};

}  // namespace scanlink::sim
