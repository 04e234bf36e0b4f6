// Positions with what was measured there, written for GIS tools and spreadsheets: CSV, GeoJSON,
// KML and GPX.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "gps_text.h"
#include "verdict.h"

namespace scanlink::cli {

struct ExportCell {
  uint32_t key1 = 0, key2 = 0;
  int delay = 0;
  std::vector<uint32_t> values;
  Verdict verdict = Verdict::kUnchecked;
};

// One positioned report.
struct ExportRow {
  int64_t timeUs = -1;  // UTC microseconds, -1 unknown
  Position where{};
  uint16_t code = 0;
  std::string name;
  std::vector<uint32_t> values;   // value lists
  std::vector<ExportCell> cells;  // TD cell reports
  std::string connection;         // the scanner's address:port in a capture of several, else empty
};

// "csv", "geojson", "kml", "gpx"
bool IsExportFormat(const std::string& format);
std::string ExportText(const std::string& format, const std::vector<ExportRow>& rows);

}  // namespace scanlink::cli
