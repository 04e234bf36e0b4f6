#include "record_output.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "code_names.h"
#include "record_json.h"
#include "record_text.h"
#include "sweep_points.h"

namespace scanlink::cli {
namespace {

template <typename Body>
std::optional<Position> Located(const Body& b) {
  return ParseGpsText(b.szGpsText, sizeof b.szGpsText);
}

std::optional<Position> PositionOf(const CCmdManage& m) {
  if (m.nTransID != SCANLINK_TRANS_BROADCAST) return std::nullopt;
  switch (m.nCode) {
    case 36:
      return Located(m.body.valueList);
    case 0xF027:
      return Located(m.body.tdValueList);
    case 40:
    case 41:
    case 257:
    case 259:
      return Located(m.body.cellRecords);
    case 0xF025:
      return Located(m.body.tdCells);
    case 0xF100:
      return Located(m.body.tdProfile);
    case 0xF102:
      return Located(m.body.tdShortProfile);
    default:
      return std::nullopt;
  }
}

std::string WriteFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file << content;
  if (!file) return "cannot write " + path + ": " + std::strerror(errno);
  return {};
}

}  // namespace

RecordOutput::RecordOutput(OutputOptions options, FILE* out)
    : options_(std::move(options)), out_(out) {}

void RecordOutput::Record(const CCmdManage& m) {
  Collect(m);
  if (options_.json) {
    std::fprintf(out_, "%s\n", RecordJson(m, options_.stationsLoaded).dump().c_str());
  } else {
    std::fprintf(out_, "%s\n", RecordText(m, options_.stationsLoaded).c_str());
  }
  std::fflush(out_);
}

void RecordOutput::Link(bool connected) {
  (connected ? tally_.connectTrue : tally_.connectFalse)++;
  std::fprintf(out_, "%s\n",
               options_.json ? LinkJson(connected).dump().c_str() : LinkText(connected).c_str());
  std::fflush(out_);
}

void RecordOutput::Note(const std::string& line) {
  FILE* to = options_.json ? stderr : out_;
  std::fprintf(to, "%s\n", line.c_str());
  std::fflush(to);
}

void RecordOutput::Collect(const CCmdManage& m) {
  const CodeKind kind = KindOf(m.nCode, m.nTransID);
  if (kind == CodeKind::kLink) ++tally_.linkNotices;
  if (kind == CodeKind::kReply) ++tally_.replies;
  if (kind != CodeKind::kReport) return;
  ++tally_.reports[m.nCode];
  if (m.nCode == 73 || m.nCode == 0xF026) {
    const int n = SweepPoints(m);
    sweeps_.push_back({m.nCode, m.body.sweep.nStart, m.body.sweep.nStep,
                       std::vector<uint16_t>(m.body.sweep.aPoints, m.body.sweep.aPoints + n)});
  }
  const auto where = PositionOf(m);
  if (!where) return;
  tally_.lastPosition = where;
  RouteReport point{*where, {}};
  if (m.nCode == 0xF025) {
    const _TDCellReport& r = m.body.tdCells;
    for (int i = 0; i < r.nCount && i < static_cast<int>(SCANLINK_TD_CELL_SLOTS); ++i) {
      const Verdict v = CellVerdict(r, i, options_.stationsLoaded);
      tally_.found += v == Verdict::kFound;
      tally_.notListed += v == Verdict::kNotListed;
      tally_.mismatched += v == Verdict::kDelayMismatch;
      point.cells.push_back({r.aRecords[i].nCellKey1, r.aRecords[i].nCellKey2, v});
    }
  }
  route_.push_back(std::move(point));
}

std::string RecordOutput::Finish() {
  if (!options_.plotPath.empty()) {
    if (auto error = WriteFile(options_.plotPath, SweepPlotSvg(sweeps_)); !error.empty())
      return error;
  }
  if (!options_.mapPath.empty())
    return WriteFile(options_.mapPath, RouteMapSvg(route_, options_.stations));
  return {};
}

}  // namespace scanlink::cli
