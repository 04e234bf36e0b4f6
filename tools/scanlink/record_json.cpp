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

// Length of the valid UTF-8 sequence at text[0..n), 0 when it is none (overlong forms,
// surrogates and code points above U+10FFFF included).
size_t Utf8Sequence(const unsigned char* t, size_t n) {
  const unsigned char c = t[0];
  if (c < 0x80) return 1;
  size_t length = 0;
  uint32_t min = 0, cp = 0;
  if ((c & 0xE0) == 0xC0) {
    length = 2, min = 0x80, cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    length = 3, min = 0x800, cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    length = 4, min = 0x10000, cp = c & 0x07;
  } else {
    return 0;
  }
  if (length > n) return 0;
  for (size_t i = 1; i < length; ++i) {
    if ((t[i] & 0xC0) != 0x80) return 0;
    cp = cp << 6 | (t[i] & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return length;
}

std::string Hex(const unsigned char* bytes, size_t n);

// A text field of the scanner's (up to its NUL). It is bytes, not necessarily UTF-8: what is
// not valid UTF-8 becomes U+FFFD, and then the raw bytes are kept beside it as key + "Hex".
void PutText(Json& j, const std::string& key, const void* field, size_t size) {
  const auto* t = static_cast<const unsigned char*>(field);
  const size_t n = strnlen(static_cast<const char*>(field), size);
  std::string text;
  bool clean = true;
  for (size_t i = 0; i < n;) {
    const size_t length = Utf8Sequence(t + i, n - i);
    if (length == 0) {
      text += "\xEF\xBF\xBD";
      clean = false;
      ++i;
    } else {
      text.append(reinterpret_cast<const char*>(t + i), length);
      i += length;
    }
  }
  j[key] = std::move(text);
  if (!clean) j[key + "Hex"] = Hex(t, n);
}

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
  PutText(j, "gpsText", b.szGpsText, sizeof b.szGpsText);
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
    case 21: {
      Json j;
      PutText(j, "block1", b.twoBlock.byBlock1, 16);
      PutText(j, "block2", b.twoBlock.byBlock2, 16);
      j.update({{"value", b.twoBlock.nValue}, {"tailByte", b.twoBlock.nTailByte}});
      return j;
    }
    case 23:
    case 25:
      return {{"value", b.oneValue.nValue}};
    case 44:
      return {{"familyValue", b.family.nFamilyValue}};
    case 51:
      return {{"value1", b.threeValues.nValue1},
              {"value2", b.threeValues.nValue2},
              {"value3", b.threeValues.nValue3}};
    case 0xF015: {
      Json j;
      PutText(j, "block1", b.tdTwoBlock.byBlock1, 8);
      PutText(j, "block2", b.tdTwoBlock.byBlock2, 8);
      j.update({{"value", b.tdTwoBlock.nValue}, {"tailByte", b.tdTwoBlock.nTailByte}});
      return j;
    }
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
