// Pictures of what was measured, as standalone SVG files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bs_list.h"
#include "gps_text.h"
#include "verdict.h"

namespace scanlink::cli {

struct SweepTrace {
  uint16_t code;
  uint32_t start;
  uint32_t step;
  std::vector<uint16_t> levels;
};

// Level against frequency, one polyline per sweep (data-points holds its number of points).
std::string SweepPlotSvg(const std::vector<SweepTrace>& sweeps);

struct CellMark {
  uint32_t key1;
  uint32_t key2;
  Verdict verdict;
};

struct RouteReport {
  Position where;
  std::vector<CellMark> cells;  // TD cell reports only
};

// The route through every positioned report, each TD cell report's cells drawn as lines to the
// station they were matched with (coloured by verdict), and the stations of the list.
std::string RouteMapSvg(const std::vector<RouteReport>& route,
                        const std::vector<Station>& stations);

}  // namespace scanlink::cli
