#include "record_text.h"

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "code_names.h"
#include "codec/message_codes.h"
#include "gps_text.h"
#include "sweep_points.h"
#include "verdict.h"

namespace scanlink::cli {
namespace {

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char text[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Block(const unsigned char* bytes, size_t n) {
  const char* text = reinterpret_cast<const char*>(bytes);
  return std::string(text, strnlen(text, n));
}

std::string Where(const char* gpsText, size_t size) {
  const auto p = ParseGpsText(gpsText, size);
  return p ? "at " + FormatPosition(*p) : std::string("no GPS fix");
}

// "3 levels (dBm): -88 -88 -91"
template <typename T>
std::string Levels(const T* values, size_t n, const LevelConvention& levels, size_t shown = 8) {
  std::string out = std::to_string(n) + (n == 1 ? " level (" : " levels (") + levels.Unit() + "):";
  for (size_t i = 0; i < n && i < shown; ++i) out += " " + LevelNumber(levels.Convert(values[i]));
  if (n > shown) out += " ...";
  return out;
}

// A TD cell's level: the mean of its samples, to a tenth.
std::string CellLevel(const _TDCellRecord& c, const LevelConvention& levels) {
  double sum = 0;
  for (uint16_t v : c.aCellValues) sum += v;
  const double mean = levels.Convert(sum / static_cast<double>(std::size(c.aCellValues)));
  return LevelNumber(std::round(mean * 10) / 10) + " " + levels.Unit();
}

std::string TDCells(const _TDCellReport& b, bool stationsLoaded, const LevelConvention& levels) {
  std::string line = Where(b.szGpsText, sizeof b.szGpsText) + Format(", %u cells", b.nCount);
  const size_t n = b.nCount < SCANLINK_TD_CELL_SLOTS ? b.nCount : SCANLINK_TD_CELL_SLOTS;
  if (!stationsLoaded) {
    for (size_t i = 0; i < n; ++i)
      line += Format("%s %u/%u delay %d level %s", i ? "," : ":", b.aRecords[i].nCellKey1,
                     b.aRecords[i].nCellKey2, static_cast<int16_t>(b.aRecords[i].nMeasuredDelay),
                     CellLevel(b.aRecords[i], levels).c_str());
    return line;
  }
  // Grouped by verdict, so the odd ones stand out.
  const char* separator = ": ";
  for (Verdict v : {Verdict::kFound, Verdict::kDelayMismatch, Verdict::kNotListed}) {
    std::string cells;
    for (size_t i = 0; i < n; ++i)
      if (CellVerdict(b, static_cast<int>(i), true) == v)
        cells += Format(" %u/%u (%s)", b.aRecords[i].nCellKey1, b.aRecords[i].nCellKey2,
                        CellLevel(b.aRecords[i], levels).c_str());
    if (cells.empty()) continue;
    line += separator + std::string(VerdictText(v)) + cells;
    separator = " | ";
  }
  return line;
}

std::string Sweep(const CCmdManage& m, const LevelConvention& levels) {
  const _SweepReport& s = m.body.sweep;
  const int points = SweepPoints(m);
  std::string line = Format("%u..%u step %u, %d points", s.nStart, s.nEnd, s.nStep, points);
  int peak = -1;
  for (int i = 0; i < points; ++i)
    if (peak < 0 || s.aPoints[i] > s.aPoints[peak]) peak = i;
  if (peak >= 0)
    line += Format(", peak %s at %llu", levels.Text(s.aPoints[peak]).c_str(),
                   static_cast<unsigned long long>(s.nStart) +
                       static_cast<unsigned long long>(peak) * s.nStep);
  return line;
}

std::string CellRecords(const _CellRecordReport& r, const LevelConvention& levels) {
  std::string line = Where(r.szGpsText, sizeof r.szGpsText) + Format(", %u cell records", r.nCount);
  for (size_t i = 0; i < r.nCount && i < SCANLINK_CELL_RECORD_SLOTS && i < 8; ++i)
    line += Format("%s %u/%u %s (%u entries)", i ? ";" : ":", r.aRecords[i].nRecordValue1,
                   r.aRecords[i].nRecordValue2, levels.Text(r.aRecords[i].nRecordValue3).c_str(),
                   r.aRecords[i].nEntryCount);
  return line;
}

std::string LinkStatus(int s) {
  return s == SCANLINK_LINK_LOST           ? "link lost"
         : s == SCANLINK_LINK_RESTORED     ? "link restored"
         : s == SCANLINK_LINK_RETRY_FAILED ? "reconnection attempt failed, trying again"
                                           : Format("status %d", s);
}

// One line per layout of the library's code table; the switch names every layout, so a layout
// added there does not compile here until it has its line.
std::string Body(const CCmdManage& m, bool stationsLoaded, const LevelConvention& levels) {
  const _CmdBody& b = m.body;
  const codec::MessageCode* entry = codec::FindMessageCode(m.nCode);
  if (entry == nullptr || entry->kind == codec::MessageKind::kCommand)
    return Format("%u bytes", m.nLength);
  switch (entry->layout) {
    case codec::BodyLayout::kValue:
      return Format("value %u%s", b.reply.nReplyValue, b.reply.nReplyValue == 0 ? " (ok)" : "");
    case codec::BodyLayout::kFamily:
      return Format("family value %u (%s)", b.family.nFamilyValue,
                    FamilyText(b.family.nFamilyValue));
    case codec::BodyLayout::kTwoBlock:
      return Format("\"%s\" / \"%s\", value %u", Block(b.twoBlock.byBlock1, 16).c_str(),
                    Block(b.twoBlock.byBlock2, 16).c_str(), b.twoBlock.nValue);
    case codec::BodyLayout::kTDTwoBlock:
      return Format("\"%s\" / \"%s\", value %u", Block(b.tdTwoBlock.byBlock1, 8).c_str(),
                    Block(b.tdTwoBlock.byBlock2, 8).c_str(), b.tdTwoBlock.nValue);
    case codec::BodyLayout::kWScanMode:
      return Format("WCDMA scan mode %u", b.wScanMode.nMode);
    case codec::BodyLayout::kTDScanMode:
      return Format("TD scan mode %u, finger test %u", b.tdScanMode.nMode,
                    b.tdScanMode.nFingerTest);
    case codec::BodyLayout::kBattery:
      return Format("battery %u / %u", b.battery.nBatteryValue1, b.battery.nBatteryValue2);
    case codec::BodyLayout::kOneValue:
      return Format("value %u", b.oneValue.nValue);
    case codec::BodyLayout::kThreeValues:
      return Format("values %u %u %u", b.threeValues.nValue1, b.threeValues.nValue2,
                    b.threeValues.nValue3);
    case codec::BodyLayout::kGpsText:
      return Where(b.gpsText.szGpsText, sizeof b.gpsText.szGpsText);
    case codec::BodyLayout::kShortStatus:
      return Format("status %u %u", b.shortStatus.nValue1, b.shortStatus.nValue2);
    case codec::BodyLayout::kLinkStatus:
      return LinkStatus(b.linkStatus.nStatusByte1);
    case codec::BodyLayout::kValueList:
      return Where(b.valueList.szGpsText, sizeof b.valueList.szGpsText) + ", " +
             Levels(b.valueList.aValues, b.valueList.nCount, levels);
    case codec::BodyLayout::kTDValueList:
      return Where(b.tdValueList.szGpsText, sizeof b.tdValueList.szGpsText) + ", " +
             Levels(b.tdValueList.aValues, b.tdValueList.nCount, levels);
    case codec::BodyLayout::kShortValueList:
      return Levels(b.shortValueList.aValues, b.shortValueList.nCount, levels);
    case codec::BodyLayout::kCellRecords:
      return CellRecords(b.cellRecords, levels);
    case codec::BodyLayout::kSweep:
      return Sweep(m, levels);
    case codec::BodyLayout::kTDCells:
      return TDCells(b.tdCells, stationsLoaded, levels);
    case codec::BodyLayout::kTDProfile:
      return Where(b.tdProfile.szGpsText, sizeof b.tdProfile.szGpsText) +
             Format(", %u profile records", b.tdProfile.nCount);
    case codec::BodyLayout::kTDShortProfile:
      return Where(b.tdShortProfile.szGpsText, sizeof b.tdShortProfile.szGpsText) +
             Format(", %u short profile records", b.tdShortProfile.nCount);
    // Only commands carry these, and commands show their length above.
    case codec::BodyLayout::kEmpty:
    case codec::BodyLayout::kStartTime:
    case codec::BodyLayout::kCommand22:
    case codec::BodyLayout::kLogin:
    case codec::BodyLayout::kIpAddress:
    case codec::BodyLayout::kMacAddress:
    case codec::BodyLayout::kSignedValue:
    case codec::BodyLayout::kTwoValues:
    case codec::BodyLayout::kGpsFormat:
      break;
  }
  return Format("%u bytes", m.nLength);
}

}  // namespace

std::string RecordText(const CCmdManage& m, bool stationsLoaded, const LevelConvention& levels) {
  const CodeKind kind = KindOf(m.nCode, m.nTransID);
  std::string head = Format("%-6s %-20s", KindName(kind), CodeName(m.nCode).c_str());
  if (kind == CodeKind::kReply || kind == CodeKind::kCommand) head += Format(" #%-4u", m.nTransID);
  head += ' ';
  head += Body(m, stationsLoaded, levels);
  return head;
}

std::string LinkText(bool connected) {
  return Format("%-6s %-20s %s", "link", "ConnectMsg",
                connected ? "true: connected again" : "false: reconnecting");
}

const char* FamilyText(uint32_t familyValue) {
  switch (codec::FamilyOfValue(familyValue).family) {
    case 1:
      return "WCDMA";
    case 2:
      return "TD-SCDMA";
    default:
      return "unknown family";
  }
}

}  // namespace scanlink::cli
