#include "record_output.h"

#include <cerrno>
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
    Put(out_, j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace));
  } else {
    Put(out_, (timeUs >= 0 ? IsoTime(timeUs) + " " : std::string()) +
                  (connection_.empty() ? std::string() : "[" + connection_ + "] ") +
                  RecordText(m, options_.stationsLoaded));
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

void RecordOutput::Collect(const CCmdManage& m, int64_t timeUs) {
  const CodeKind kind = KindOf(m.nCode, m.nTransID);
  if (kind == CodeKind::kLink) ++tally_.linkNotices;
  if (kind == CodeKind::kReply) ++tally_.replies;
  if (kind == CodeKind::kReply && m.nCode == 0xF031)
    tally_.battery = std::to_string(m.body.battery.nBatteryValue1) + "/" +
                     std::to_string(m.body.battery.nBatteryValue2);
  if (kind != CodeKind::kReport) return;
  ++tally_.reports[m.nCode];
  const auto where = PositionOf(m);
  if (!where) return;
  tally_.lastPosition = where;
  tally_.lastPositionUs = timeUs;
  ExportRow row{timeUs, *where, m.nCode, CodeName(m.nCode), {}, {}, connection_};
  if (m.nCode == 0xF025) {
    const _TDCellReport& r = m.body.tdCells;
    for (int i = 0; i < r.nCount && i < static_cast<int>(SCANLINK_TD_CELL_SLOTS); ++i) {
      const _TDCellRecord& c = r.aRecords[i];
      const Verdict v = CellVerdict(r, i, options_.stationsLoaded);
      tally_.found += v == Verdict::kFound;
      tally_.notListed += v == Verdict::kNotListed;
      tally_.mismatched += v == Verdict::kDelayMismatch;
      row.cells.push_back(
          {c.nCellKey1, c.nCellKey2, static_cast<int16_t>(c.nMeasuredDelay),
           std::vector<uint32_t>(std::begin(c.aCellValues), std::end(c.aCellValues)), v});
    }
  } else if (m.nCode == 36) {
    const auto& v = m.body.valueList;
    row.values.assign(v.aValues, v.aValues + std::min<size_t>(v.nCount, std::size(v.aValues)));
  } else if (m.nCode == 0xF027) {
    const auto& v = m.body.tdValueList;
    row.values.assign(v.aValues, v.aValues + std::min<size_t>(v.nCount, std::size(v.aValues)));
  }
  if (!options_.exportFormat.empty()) rows_.push_back(std::move(row));
}

std::string RecordOutput::Finish() {
  if (!options_.exportFormat.empty()) {
    const std::string text = ExportText(options_.exportFormat, rows_);
    if (options_.exportPath.empty() || options_.exportPath == "-") {
      std::fputs(text.c_str(), out_);
      std::fflush(out_);
    } else {
      return WriteFile(options_.exportPath, text);
    }
  }
  return {};
}

}  // namespace scanlink::cli
