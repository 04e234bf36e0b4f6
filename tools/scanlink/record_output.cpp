#include "record_output.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "code_names.h"
#include "exit_codes.h"
#include "record_json.h"
#include "record_text.h"
#include "sweep_points.h"
#include "timestamp.h"

namespace scanlink::cli {
namespace {

std::optional<Position> PositionOf(const CCmdManage& m) {
  // Reports carry where they were measured; the GPS text reply is no measurement.
  if (m.nTransID != SCANLINK_TRANS_BROADCAST || m.nCode == 0xF02A) return std::nullopt;
  const auto text = GpsTextOf(m);
  return text ? ParseGpsText(text->data(), text->size()) : std::nullopt;
}

// A TD cell's level: the mean of the samples the scanner took of it.
double MeanLevel(const _TDCellRecord& c) {
  double sum = 0;
  for (uint16_t v : c.aCellValues) sum += v;
  return sum / static_cast<double>(std::size(c.aCellValues));
}

// Distance in metres on the WGS-84 ellipsoid, computed as the library's GPS check does.
double EllipsoidKm(const Position& a, const Position& b) {
  const double rad = 3.141592653589 / 180;
  const double phi1 = a.latitude * rad, phi2 = b.latitude * rad;
  const double s1 = std::sin(phi1), s2 = std::sin(phi2);
  const double x = std::clamp(
      std::cos(phi1) * std::cos(phi2) * std::cos((b.longitude - a.longitude) * rad) + s1 * s2, -1.0,
      1.0);
  const double sigma = std::acos(x);
  const double spherical = 6378.137 * sigma;
  const double t1 = (3 * std::sin(sigma) - sigma) * (s1 + s2) * (s1 + s2) / (1 + std::cos(sigma));
  const double t2 = (3 * std::sin(sigma) + sigma) * (s1 - s2) * (s1 - s2) / (1 - std::cos(sigma));
  const double km = spherical + 5.346171438705126 * (t1 - t2);
  return std::isfinite(km) ? km : spherical;
}

std::optional<double> StationDistanceM(const std::vector<Station>& stations, const _TDCellRecord& c,
                                       const Position& where) {
  for (const Station& s : stations)
    // A listed key the cell's 16-bit field cannot hold matches no cell.
    if (s.key1 == c.nCellKey1 && s.key2 == c.nCellKey2)
      return EllipsoidKm(where, {s.latitude, s.longitude}) * 1000;
  return std::nullopt;
}

std::string WriteFile(const std::string& path, const std::string& content) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  if (file) file << content;
  if (!file) return "cannot write " + path + ": " + std::strerror(errno);
  return {};
}

bool IsKindName(const std::string& s) {
  return s == "reply" || s == "report" || s == "link" || s == "connect" || s == "command";
}

// A code as a number (decimal or 0x hex) or by its name; nothing when it is neither.
std::optional<uint16_t> CodeOf(const std::string& s) {
  char* end = nullptr;
  const unsigned long v = std::strtoul(s.c_str(), &end, 0);
  if (!s.empty() && *end == '\0' && s[0] != '-' && v <= 0xFFFF) return static_cast<uint16_t>(v);
  for (unsigned code = 0; code <= 0xFFFF; ++code)
    if (CodeName(static_cast<uint16_t>(code)) == s) return static_cast<uint16_t>(code);
  return std::nullopt;
}

}  // namespace

void CheckOnly(const std::vector<std::string>& only) {
  for (const std::string& s : only)
    if (!IsKindName(s) && !CodeOf(s))
      throw CliError(kExitUsage, "--only '" + s +
                                     "' is no kind (reply, report, link, connect), code or "
                                     "code name");
}

RecordOutput::RecordOutput(OutputOptions options, FILE* out)
    : options_(std::move(options)), out_(out) {
  for (const std::string& s : options_.only) {
    if (IsKindName(s))
      onlyKinds_.insert(s);
    else if (const auto code = CodeOf(s))
      onlyCodes_.insert(*code);
  }
}

bool RecordOutput::Shown(const CCmdManage* m) {
  if (done() || options_.quiet) return false;
  if (!options_.only.empty()) {
    const bool match =
        m ? onlyKinds_.count(KindName(KindOf(m->nCode, m->nTransID))) || onlyCodes_.count(m->nCode)
          : onlyKinds_.count("connect") > 0;
    if (!match) return false;
  }
  ++tally_.shown;
  return true;
}

void RecordOutput::Put(FILE* to, const std::string& line) {
  if (closed_ && to == out_) return;
  std::fputs(line.c_str(), to);
  std::fputc('\n', to);
  // A reader that went away (head, a closed pager) ends the run instead of being written to.
  if (std::fflush(to) != 0 || std::ferror(to)) {
    if (to == out_) closed_ = true;
    std::clearerr(to);
  }
}

void RecordOutput::Record(const CCmdManage& m, int64_t timeUs) {
  Collect(m, timeUs);
  if (!Shown(&m)) return;
  if (options_.json) {
    nlohmann::ordered_json j;
    if (timeUs >= 0) j["time"] = IsoTime(timeUs);
    if (!connection_.empty()) j["connection"] = connection_;
    j.update(RecordJson(m, options_.stationsLoaded));
    AddLevels(j, options_.levels);
    Put(out_, j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  } else {
    Put(out_, (timeUs >= 0 ? IsoTime(timeUs) + " " : std::string()) +
                  (connection_.empty() ? std::string() : "[" + connection_ + "] ") +
                  RecordText(m, options_.stationsLoaded, options_.levels));
  }
}

void RecordOutput::Link(bool connected, int64_t timeUs) {
  (connected ? tally_.connectTrue : tally_.connectFalse)++;
  if (!Shown(nullptr)) return;
  if (options_.json) {
    nlohmann::ordered_json j;
    if (timeUs >= 0) j["time"] = IsoTime(timeUs);
    j.update(LinkJson(connected));
    Put(out_, j.dump());
  } else {
    Put(out_, (timeUs >= 0 ? IsoTime(timeUs) + " " : std::string()) + LinkText(connected));
  }
}

void RecordOutput::Note(const std::string& line) { Put(options_.json ? stderr : out_, line); }

void RecordOutput::Warn(const std::string& message) {
  if (options_.json)
    Put(stderr,
        nlohmann::ordered_json{
            {"time", IsoTime(NowUs())}, {"kind", "warning"}, {"message", message}}
            .dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  else
    Put(stderr, "scanlink: warning: " + message);
}

void RecordOutput::Error(const std::string& message, int status) {
  if (options_.json)
    Put(stderr,
        nlohmann::ordered_json{{"kind", "error"}, {"status", status}, {"message", message}}.dump(
            -1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  else
    Put(stderr, "scanlink: " + message);
}

void RecordOutput::Summary(const std::string& text, const nlohmann::ordered_json& fields) {
  if (options_.json) {
    nlohmann::ordered_json j{{"time", IsoTime(NowUs())}, {"kind", "summary"}};
    j.update(fields);
    Put(out_, j.dump());
  } else {
    Put(out_, text);
  }
}

std::optional<ExportRow> Measured(const CCmdManage& m, int64_t timeUs,
                                  const std::vector<Station>& stations, bool stationsLoaded) {
  const auto where = PositionOf(m);
  ExportRow row{timeUs, where, false, m.nCode, CodeName(m.nCode), {}, {}};
  auto listed = [&](const uint16_t* values, size_t n) {
    for (size_t i = 0; i < n; ++i)
      row.cells.push_back({"value " + std::to_string(i + 1), values[i], {}, {}, {}, {}});
  };
  switch (m.nCode) {
    case 0xF025: {
      const _TDCellReport& r = m.body.tdCells;
      for (int i = 0; i < r.nCount && i < static_cast<int>(SCANLINK_TD_CELL_SLOTS); ++i) {
        const _TDCellRecord& c = r.aRecords[i];
        const Verdict v = CellVerdict(r, i, stationsLoaded);
        ExportCell cell{std::to_string(c.nCellKey1) + "/" + std::to_string(c.nCellKey2),
                        MeanLevel(c),
                        std::vector<uint32_t>(std::begin(c.aCellValues), std::end(c.aCellValues)),
                        static_cast<int16_t>(c.nMeasuredDelay),
                        {},
                        v};
        if (where) cell.distanceM = StationDistanceM(stations, c, *where);
        row.cells.push_back(std::move(cell));
      }
      break;
    }
    case 36:
      listed(m.body.valueList.aValues,
             std::min<size_t>(m.body.valueList.nCount, SCANLINK_VALUE_SLOTS));
      break;
    case 0xF027:
      listed(m.body.tdValueList.aValues,
             std::min<size_t>(m.body.tdValueList.nCount, SCANLINK_VALUE_SLOTS));
      break;
    case 38:
      listed(m.body.shortValueList.aValues,
             std::min<size_t>(m.body.shortValueList.nCount, SCANLINK_SHORT_VALUE_SLOTS));
      break;
    case 40:
    case 41:
    case 257:
    case 259: {
      const _CellRecordReport& r = m.body.cellRecords;
      for (size_t i = 0; i < r.nCount && i < SCANLINK_CELL_RECORD_SLOTS; ++i)
        row.cells.push_back({std::to_string(r.aRecords[i].nRecordValue1) + "/" +
                                 std::to_string(r.aRecords[i].nRecordValue2),
                             r.aRecords[i].nRecordValue3,
                             {},
                             {},
                             {},
                             {}});
      break;
    }
    case 73:
    case 0xF026: {
      const _SweepReport& s = m.body.sweep;
      for (int i = 0; i < SweepPoints(m); ++i)
        row.cells.push_back(
            {std::to_string(uint64_t{s.nStart} + uint64_t{s.nStep} * static_cast<uint64_t>(i)),
             s.aPoints[i],
             {},
             {},
             {},
             {}});
      break;
    }
    default:
      return std::nullopt;  // status frames measure nothing
  }
  return row;
}

void RecordOutput::Collect(const CCmdManage& m, int64_t timeUs) {
  // Counted for the run and, with several connections, for the one it came on.
  Tally* per = connection_.empty() ? nullptr : &byConnection_[connection_];
  const auto count = [&](auto&& add) {
    add(tally_);
    if (per != nullptr) add(*per);
  };
  const CodeKind kind = KindOf(m.nCode, m.nTransID);
  if (kind == CodeKind::kLink) ++tally_.linkNotices;
  if (kind == CodeKind::kReply) count([](Tally& t) { ++t.replies; });
  if (kind == CodeKind::kReply && m.nCode == 0xF031)
    tally_.battery = std::to_string(m.body.battery.nBatteryValue1) + "/" +
                     std::to_string(m.body.battery.nBatteryValue2);
  if (kind != CodeKind::kReport) return;
  count([&](Tally& t) { ++t.reports[m.nCode]; });
  const auto where = PositionOf(m);
  if (where) {
    tally_.lastPosition = where;
    tally_.lastPositionUs = timeUs;
  }
  std::optional<ExportRow> row = Measured(m, timeUs, options_.stations, options_.stationsLoaded);
  // A status frame with a position still marks the route.
  if (!row && !where) return;
  if (!row) row = ExportRow{timeUs, where, false, m.nCode, CodeName(m.nCode), {}, {}};
  row->connection = connection_;
  for (const ExportCell& c : row->cells) {
    if (!c.verdict) continue;
    count([&](Tally& t) {
      t.found += *c.verdict == Verdict::kFound;
      t.notListed += *c.verdict == Verdict::kNotListed;
      t.mismatched += *c.verdict == Verdict::kDelayMismatch;
    });
  }
  if (!options_.exportFormat.empty()) rows_.push_back(std::move(*row));
}

const Tally& RecordOutput::tally(const std::string& connection) const {
  static const Tally kNone;
  const auto it = byConnection_.find(connection);
  return it == byConnection_.end() ? kNone : it->second;
}

std::optional<std::string> RecordOutput::EmptyExport() const {
  if (options_.exportFormat.empty() || tally_.exported > 0) return std::nullopt;
  return "the " + options_.exportFormat + " export holds no report: " +
         (rows_.empty() ? std::string("no measurement report came") : "none has a position");
}

std::string RecordOutput::Finish() {
  if (options_.exportFormat.empty()) return {};
  tally_.unplaced = PlaceRows(rows_);
  tally_.exported = rows_.size() - tally_.unplaced;
  const std::string text =
      ExportText(options_.exportFormat, rows_, {options_.levels, options_.stationsLoaded});
  std::string error;
  if (options_.exportPath.empty() || options_.exportPath == "-") {
    std::fputs(text.c_str(), out_);
    std::fflush(out_);
  } else {
    error = WriteFile(options_.exportPath, text);
  }
  if (!error.empty()) return error;
  if (tally_.unplaced > 0)
    Warn(std::to_string(tally_.unplaced) + " of " + std::to_string(rows_.size()) +
         " reports are not in the export: no position, and no GPS fix within " +
         std::to_string(kMaxFixGapUs / 1000000) + " s before and after them to place them by");
  return {};
}

}  // namespace scanlink::cli
