// Positions with what was measured there, written for GIS tools and spreadsheets: CSV (one row
// per report, or one row per cell per report), GeoJSON, KML and GPX.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "gps_text.h"
#include "levels.h"
#include "verdict.h"

namespace scanlink::cli {

// One measured thing of a report: a cell, a listed channel, a sweep point.
struct ExportCell {
  std::string key;                  // "10054/1" (TD and WCDMA cells), "value 3", "2110000"
  std::optional<double> levelRaw;   // a TD cell: the mean of its samples
  std::vector<uint32_t> samples;    // a TD cell's raw samples
  std::optional<int> delay;         // TD: quarter chips
  std::optional<double> distanceM;  // TD: to the listed station
  std::optional<Verdict> verdict;   // TD cells
};

// One report.
struct ExportRow {
  int64_t timeUs = -1;  // UTC microseconds, -1 unknown
  std::optional<Position> where;
  bool interpolated = false;  // where comes from the fixes around it in time
  uint16_t code = 0;
  std::string name;
  std::vector<ExportCell> cells;
};

struct ExportSettings {
  LevelConvention levels;
  bool stationsLoaded = false;
};

// "csv", "csv-long", "geojson", "kml", "gpx"
bool IsExportFormat(const std::string& format);
const char* ExportFormatsText();

// Reports without a position get one interpolated between the fixes before and after them in
// time (at most kMaxFixGapUs apart); the number left without one is returned.
constexpr int64_t kMaxFixGapUs = 30'000'000;
size_t PlaceRows(std::vector<ExportRow>& rows);

// Only rows with a position are written.
std::string ExportText(const std::string& format, const std::vector<ExportRow>& rows,
                       const ExportSettings& settings = {});

// The colour bands of levels in dBm on maps (KML), strongest first.
struct LevelBand {
  double from;         // dBm, inclusive
  const char* colour;  // RRGGBB
  const char* label;
};
const std::vector<LevelBand>& LevelBands();

}  // namespace scanlink::cli
