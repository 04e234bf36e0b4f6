#include "record_json.h"

#include <cstring>
#include <string>

#include "code_names.h"
#include "gps_text.h"
#include "sweep_points.h"
#include "verdict.h"

namespace scanlink::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string Text(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

template <typename T, size_t N>
Json Array(const T (&values)[N], size_t count = N) {
  Json out = Json::array();
  for (size_t i = 0; i < count && i < N; ++i) out.push_back(values[i]);
  return out;
}

Json Entries(const _ListEntry* entries, size_t count) {
  Json out = Json::array();
  for (size_t i = 0; i < count; ++i)
    out.push_back({{"first", entries[i].nFirst}, {"second", entries[i].nSecond}});
  return out;
}

// The 128-byte measurement header every positioned report starts with.
template <typename Body>
void MeasurementHeader(Json& j, const Body& b) {
  j["headerByte"] = b.nHeaderByte;
  j["gpsText"] = Text(b.szGpsText, sizeof b.szGpsText);
  if (auto p = ParseGpsText(b.szGpsText, sizeof b.szGpsText))
    j["position"] = {{"latitude", p->latitude}, {"longitude", p->longitude}};
  else
    j["position"] = nullptr;
}

Json WScanMode(const _WScanModeInfo& w) {
  Json j{{"mode", w.nMode}};
  if (w.nMode == 7) {
    const _WCellList& l = w.fields.cellList;
    j.update({{"listValue1", l.nListValue1},
              {"listValue2", l.nListValue2},
              {"listValue3", l.nListValue3},
              {"count", l.nCount},
              {"entries", Entries(l.aEntries, l.nCount)}});
  } else if (w.nMode == 8) {
    const _WFreqList& l = w.fields.freqList;
    j.update({{"listValue1", l.nListValue1},
              {"listValue2", l.nListValue2},
              {"listValue3", l.nListValue3},
              {"count", l.nCount},
              {"entries", Array(l.aEntries, l.nCount)}});
  } else {
    const _WScanGeneral& g = w.fields.general;
    j.update({{"value1", g.nValue1},
              {"value2", g.nValue2},
              {"value3", g.nValue3},
              {"value4", g.nValue4},
              {"value5", g.nValue5},
              {"value6", g.nValue6},
              {"value7", g.nValue7},
              {"value8", g.nValue8},
              {"value9", g.nValue9},
              {"value10", g.nValue10},
              {"flag", g.bFlag},
              {"value11", g.nValue11},
              {"value12", g.nValue12},
              {"value13", g.nValue13}});
  }
  return j;
}

Json TDScanMode(const _TDScanModeInfo& t) {
  Json j{{"mode", t.nMode},
         {"fingerTest", t.nFingerTest},
         {"selector", t.nSelector},
         {"selectorValue", t.nSelectorValue}};
  const auto& f = t.fields;
  switch (t.nMode) {
    case 1:
    case 4:
      j.update({{"count", f.list.nCount},
                {"entries", Entries(f.list.aEntries, f.list.nCount)},
                {"trailing", f.list.nTrailing}});
      break;
    case 2:
      j.update({{"search1", f.cellSearch.nSearchValue1},
                {"search2", f.cellSearch.nSearchValue2},
                {"search3", f.cellSearch.nSearchValue3},
                {"search4", f.cellSearch.nSearchValue4}});
      break;
    case 3:
      j.update({{"sa1", f.sa.nSAValue1},
                {"sa2", f.sa.nSAValue2},
                {"sa3", f.sa.nSAValue3},
                {"sa4", f.sa.nSAValue4},
                {"saFlag", f.sa.bSAFlag},
                {"sa5", f.sa.nSAValue5}});
      break;
    case 5:
      j.update({{"cw1", f.cw.nCWValue1}, {"cw2", f.cw.nCWValue2}});
      break;
    case 6: {
      const _TDChannelScan& c = f.channel;
      j.update({{"channel1", c.nChannelValue1},
                {"channel2", c.nChannelValue2},
                {"channel3", c.nChannelValue3},
                {"channel4", c.nChannelValue4},
                {"channel5", c.nChannelValue5},
                {"channel6", c.nChannelValue6},
                {"block1", Hex(c.byBlock1, sizeof c.byBlock1)},
                {"block2", Hex(c.byBlock2, sizeof c.byBlock2)}});
      break;
    }
    case 8:
      j.update({{"mode8Value1", f.mode8.nValue1},
                {"mode8Value2", f.mode8.nValue2},
                {"mode8Value3", f.mode8.nValue3}});
      break;
    default:
      break;
  }
  return j;
}

Json CellRecords(const _CellRecordReport& b) {
  Json j;
  MeasurementHeader(j, b);
  j.update({{"headerValue1", b.nHeaderValue1},
            {"headerValue2", b.nHeaderValue2},
            {"count", b.nCount},
            {"reportValue", b.nReportValue}});
  Json records = Json::array();
  for (size_t i = 0; i < b.nCount && i < SCANLINK_CELL_RECORD_SLOTS; ++i) {
    const _CellRecord& r = b.aRecords[i];
    records.push_back({{"value1", r.nRecordValue1},
                       {"value2", r.nRecordValue2},
                       {"value3", r.nRecordValue3},
                       {"value4", r.nRecordValue4},
                       {"value5", r.nRecordValue5},
                       {"value6", r.nRecordValue6},
                       {"entryCount", r.nEntryCount},
                       {"entries", Entries(r.aEntries, r.nEntryCount)}});
  }
  j["records"] = std::move(records);
  return j;
}

Json TDCells(const _TDCellReport& b, bool stationsLoaded) {
  Json j;
  MeasurementHeader(j, b);
  j.update({{"mismatchMask", b.nMismatchMask},
            {"foundMask", b.nFoundMask},
            {"reportByte", b.nReportByte},
            {"count", b.nCount}});
  Json cells = Json::array();
  for (size_t i = 0; i < b.nCount && i < SCANLINK_TD_CELL_SLOTS; ++i) {
    const _TDCellRecord& c = b.aRecords[i];
    Json fingers = Json::array();
    for (const _TDFinger& f : c.aFingers)
      fingers.push_back({f.nValue1, f.nValue2, f.nValue3, f.nValue4});
    cells.push_back(
        {{"cellKey1", c.nCellKey1},
         {"cellKey2", c.nCellKey2},
         {"cellValues", Array(c.aCellValues)},
         {"measuredDelay", static_cast<int16_t>(c.nMeasuredDelay)},
         {"fingerValue", c.nFingerValue},
         {"fingers", std::move(fingers)},
         {"verdict", VerdictName(CellVerdict(b, static_cast<int>(i), stationsLoaded))}});
  }
  j["cells"] = std::move(cells);
  return j;
}

template <typename Record>
Json ProfileRecord(const Record& p) {
  return {{"profileByte", p.nProfileByte},
          {"firstProfile", Array(p.aFirstProfile)},
          {"secondProfile", Array(p.aSecondProfile)}};
}

Json TDProfile(const _TDProfileReport& b) {
  Json j;
  MeasurementHeader(j, b);
  j.update({{"headerValue1", b.nHeaderValue1},
            {"headerValue2", b.nHeaderValue2},
            {"headerValue3", b.nHeaderValue3},
            {"headerValue4", b.nHeaderValue4},
            {"headerValue5", b.nHeaderValue5},
            {"reportByte1", b.nReportByte1},
            {"reportByte2", b.nReportByte2},
            {"count", b.nCount}});
  Json records = Json::array();
  for (size_t i = 0; i < b.nCount && i < SCANLINK_PROFILE_SLOTS; ++i) {
    const _TDProfileRecord& p = b.aRecords[i];
    Json r = ProfileRecord(p);
    r.update({{"profileValue1", p.nProfileValue1},
              {"profileValue2", p.nProfileValue2},
              {"profileValue3", p.nProfileValue3},
              {"profileValue4", p.nProfileValue4},
              {"profileValue5", p.nProfileValue5}});
    records.push_back(std::move(r));
  }
  j["records"] = std::move(records);
  return j;
}

Json TDShortProfile(const _TDShortProfileReport& b) {
  Json j;
  MeasurementHeader(j, b);
  j.update({{"headerValue1", b.nHeaderValue1},
            {"headerValue2", b.nHeaderValue2},
            {"headerValue3", b.nHeaderValue3},
            {"headerValue4", b.nHeaderValue4},
            {"count", b.nCount}});
  Json records = Json::array();
  for (size_t i = 0; i < b.nCount && i < SCANLINK_PROFILE_SLOTS; ++i) {
    const _TDShortProfileRecord& p = b.aRecords[i];
    Json r = ProfileRecord(p);
    r.update({{"profileValue1", p.nProfileValue1}, {"profileValue2", p.nProfileValue2}});
    records.push_back(std::move(r));
  }
  j["records"] = std::move(records);
  return j;
}

Json Body(const CCmdManage& m, bool stationsLoaded) {
  const _CmdBody& b = m.body;
  if (IsValueReply(m.nCode)) return {{"replyValue", b.reply.nReplyValue}};
  switch (m.nCode) {
    case 11:
      return WScanMode(b.wScanMode);
    case 0xF00B:
      return TDScanMode(b.tdScanMode);
    case 5:
    case 21:
      return {{"block1", Text(reinterpret_cast<const char*>(b.twoBlock.byBlock1), 16)},
              {"block2", Text(reinterpret_cast<const char*>(b.twoBlock.byBlock2), 16)},
              {"value", b.twoBlock.nValue},
              {"tailByte", b.twoBlock.nTailByte}};
    case 23:
    case 25:
      return {{"value", b.oneValue.nValue}};
    case 44:
      return {{"familyValue", b.family.nFamilyValue}};
    case 51:
      return {{"value1", b.threeValues.nValue1},
              {"value2", b.threeValues.nValue2},
              {"value3", b.threeValues.nValue3}};
    case 0xF015:
      return {{"block1", Text(reinterpret_cast<const char*>(b.tdTwoBlock.byBlock1), 8)},
              {"block2", Text(reinterpret_cast<const char*>(b.tdTwoBlock.byBlock2), 8)},
              {"value", b.tdTwoBlock.nValue},
              {"tailByte", b.tdTwoBlock.nTailByte}};
    case 0xF02A: {
      Json j;
      MeasurementHeader(j, b.gpsText);
      j.update(
          {{"headerValue1", b.gpsText.nHeaderValue1}, {"headerValue2", b.gpsText.nHeaderValue2}});
      return j;
    }
    case 0xF031:
      return {{"batteryValue1", b.battery.nBatteryValue1},
              {"batteryValue2", b.battery.nBatteryValue2}};
    case 0xF028:
      return {{"value1", b.shortStatus.nValue1}, {"value2", b.shortStatus.nValue2}};
    case SCANLINK_CODE_LINK_STATUS: {
      const int s = b.linkStatus.nStatusByte1;
      return {{"statusByte0", b.linkStatus.nStatusByte0},
              {"statusByte1", s},
              {"status", s == SCANLINK_LINK_LOST           ? "lost"
                         : s == SCANLINK_LINK_RESTORED     ? "restored"
                         : s == SCANLINK_LINK_RETRY_FAILED ? "retry-failed"
                                                           : "unknown"}};
    }
    case 36: {
      Json j;
      MeasurementHeader(j, b.valueList);
      j.update({{"headerValue1", b.valueList.nHeaderValue1},
                {"headerValue2", b.valueList.nHeaderValue2},
                {"headerValue3", b.valueList.nHeaderValue3},
                {"count", b.valueList.nCount},
                {"values", Array(b.valueList.aValues, b.valueList.nCount)}});
      return j;
    }
    case 0xF027: {
      Json j;
      MeasurementHeader(j, b.tdValueList);
      j.update({{"headerValue1", b.tdValueList.nHeaderValue1},
                {"headerValue2", b.tdValueList.nHeaderValue2},
                {"count", b.tdValueList.nCount},
                {"values", Array(b.tdValueList.aValues, b.tdValueList.nCount)}});
      return j;
    }
    case 38:
      return {{"count", b.shortValueList.nCount},
              {"reportValue", b.shortValueList.nReportValue},
              {"values", Array(b.shortValueList.aValues, b.shortValueList.nCount)},
              {"tailByte", b.shortValueList.nTailByte}};
    case 40:
    case 41:
    case 257:
    case 259:
      return CellRecords(b.cellRecords);
    case 73:
    case 0xF026: {
      const int points = SweepPoints(m);
      return {{"start", b.sweep.nStart},
              {"end", b.sweep.nEnd},
              {"step", b.sweep.nStep},
              {"pointCount", points},
              {"points", Array(b.sweep.aPoints, points)}};
    }
    case 0xF025:
      return TDCells(b.tdCells, stationsLoaded);
    case 0xF100:
      return TDProfile(b.tdProfile);
    case 0xF102:
      return TDShortProfile(b.tdShortProfile);
    default:
      return Json::object();
  }
}

}  // namespace

Json RecordJson(const CCmdManage& m, bool stationsLoaded) {
  return {{"kind", KindName(KindOf(m.nCode, m.nTransID))},
          {"code", m.nCode},
          {"codeHex", Hex16(m.nCode)},
          {"name", CodeName(m.nCode)},
          {"trans", m.nTransID},
          {"length", m.nLength},
          {"body", Body(m, stationsLoaded)}};
}

Json LinkJson(bool connected) { return {{"kind", "connect"}, {"connected", connected}}; }

}  // namespace scanlink::cli
