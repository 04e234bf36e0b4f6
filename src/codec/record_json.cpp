#include "codec/record_json.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string_view>
#include <type_traits>

#include "codec/message_codes.h"

namespace scanlink::codec {
namespace {

std::string Hex(const unsigned char* bytes, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// A JSON string of UTF-8 text, escaped as the command line always printed it.
std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c == '\b' || c == '\f' || c == '\n' || c == '\r' || c == '\t') {
      out += '\\';
      out += c == '\b' ? 'b' : c == '\f' ? 'f' : c == '\n' ? 'n' : c == '\r' ? 'r' : 't';
    } else if (c < 0x20) {
      char escape[8];
      std::snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

std::string Number(double v) {
  if (!std::isfinite(v)) return "null";
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

template <typename T>
std::string Value(T v) {
  if constexpr (std::is_floating_point_v<T>) {
    return Number(v);
  } else if constexpr (std::is_signed_v<T>) {
    return std::to_string(static_cast<long long>(v));
  } else {
    return std::to_string(static_cast<unsigned long long>(v));
  }
}

// An object under construction; members keep the order they were added in.
class Object {
 public:
  // key, value, key, value, ...
  template <typename T, typename... More>
  Object& Add(const char* key, T v, More... more) {
    Raw(key, Value(v));
    if constexpr (sizeof...(more) > 0) Add(more...);
    return *this;
  }
  Object& Text(const char* key, std::string_view text) { return Raw(key, Quoted(text)); }
  Object& Raw(const char* key, const std::string& json) {
    out_ += out_.size() > 1 ? ",\"" : "\"";
    out_ += key;
    out_ += "\":";
    out_ += json;
    return *this;
  }
  std::string Done() const { return out_ + "}"; }

 private:
  std::string out_ = "{";
};

// The first count items, each as show(item, index) renders it. A count beyond the slots (a
// caller's record) shows only the slots there are.
template <typename Item, size_t N, typename Show>
std::string Each(const Item (&items)[N], size_t count, Show&& show) {
  std::string out = "[";
  for (size_t i = 0; i < count && i < N; ++i) {
    if (i > 0) out += ',';
    out += show(items[i], i);
  }
  return out + "]";
}

template <typename T, size_t N>
std::string Values(const T (&values)[N], size_t count = N) {
  return Each(values, count, [](T v, size_t) { return Value(v); });
}

template <size_t N>
std::string Entries(const _ListEntry (&entries)[N], size_t count) {
  return Each(entries, count, [](const _ListEntry& e, size_t) {
    return Object().Add("first", e.nFirst, "second", e.nSecond).Done();
  });
}

// Length of the valid UTF-8 sequence at t[0..n), 0 when it is none (overlong forms, surrogates
// and code points above U+10FFFF included).
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

// A text field of the scanner's (up to its NUL). It is bytes, not necessarily UTF-8: what is not
// valid UTF-8 becomes U+FFFD, and then the raw bytes are kept beside it as key + "Hex".
void PutText(Object& j, const char* key, const void* field, size_t size) {
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
  j.Text(key, text);
  if (!clean) j.Text((std::string(key) + "Hex").c_str(), Hex(t, n));
}

// "ddmm.mmmm" (degree digits = degreeDigits) to degrees, whatever the locale.
std::optional<double> Degrees(std::string_view field, size_t degreeDigits) {
  if (field.size() <= degreeDigits) return std::nullopt;
  double raw = 0;
  const auto r = std::from_chars(field.data(), field.data() + field.size(), raw);
  if (r.ec != std::errc() || r.ptr != field.data() + field.size() || !std::isfinite(raw) ||
      raw < 0) {
    return std::nullopt;
  }
  const double degrees = std::floor(raw / 100);
  const double minutes = raw - degrees * 100;
  if (minutes >= 60) return std::nullopt;
  return degrees + minutes / 60;
}

// The position of a "$GPGGA,time,ddmm.mmmm,N,dddmm.mmmm,E,..." or
// "$GPRMC,time,A,ddmm.mmmm,N,dddmm.mmmm,E,..." text (any talker) as a JSON object, or null; also
// null when the sentence says the receiver has no fix (GGA quality 0, RMC status not A).
std::string Position(const char* text, size_t size) {
  std::string_view all(text, strnlen(text, size));
  size_t start = std::string_view::npos, lat = 0;
  for (size_t at = all.find('$'); at != std::string_view::npos && at + 7 <= all.size();
       at = all.find('$', at + 1)) {
    const std::string_view type = all.substr(at + 3, 4);
    if (type == "GGA," || type == "RMC,") {
      start = at;
      lat = type == "GGA," ? 2 : 3;
      break;
    }
  }
  if (start == std::string_view::npos) return "null";
  std::string_view fields[8];
  size_t count = 0;
  std::string_view rest = all.substr(start);
  while (count < lat + 5) {
    const size_t comma = rest.find(',');
    fields[count++] = rest.substr(0, comma);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (count < lat + 4) return "null";
  if (lat == 3 && fields[2] != "A") return "null";
  if (lat == 2 && count > 6 && fields[6] == "0") return "null";
  const auto latitude = Degrees(fields[lat], 2);
  const auto longitude = Degrees(fields[lat + 2], 3);
  if (!latitude || !longitude || *latitude > 90 || *longitude > 180) return "null";
  const bool south = fields[lat + 1] == "S", west = fields[lat + 3] == "W";
  if (!(south || fields[lat + 1] == "N") || !(west || fields[lat + 3] == "E")) return "null";
  return Object()
      .Add("latitude", south ? -*latitude : *latitude, "longitude", west ? -*longitude : *longitude)
      .Done();
}

// The 128-byte measurement header every positioned report starts with.
template <typename Body>
Object& MeasurementHeader(Object& j, const Body& b) {
  j.Add("headerByte", b.nHeaderByte);
  PutText(j, "gpsText", b.szGpsText, sizeof b.szGpsText);
  return j.Raw("position", Position(b.szGpsText, sizeof b.szGpsText));
}

// The JSON body of each layout the scanner sends; m is the whole record, since the sweep's point
// count is its length.
using JsonBody = std::string (*)(const CCmdManage& m, bool stationsLoaded);

std::string WScanModeBody(const CCmdManage& m, bool) {
  const _WScanModeInfo& w = m.body.wScanMode;
  Object j;
  j.Add("mode", w.nMode);
  if (w.nMode == 7) {
    const _WCellList& l = w.fields.cellList;
    j.Add("listValue1", l.nListValue1, "listValue2", l.nListValue2, "listValue3", l.nListValue3,
          "count", l.nCount)
        .Raw("entries", Entries(l.aEntries, l.nCount));
  } else if (w.nMode == 8) {
    const _WFreqList& l = w.fields.freqList;
    j.Add("listValue1", l.nListValue1, "listValue2", l.nListValue2, "listValue3", l.nListValue3,
          "count", l.nCount)
        .Raw("entries", Values(l.aEntries, l.nCount));
  } else {
    const _WScanGeneral& g = w.fields.general;
    j.Add("value1", g.nValue1, "value2", g.nValue2, "value3", g.nValue3, "value4", g.nValue4,
          "value5", g.nValue5, "value6", g.nValue6, "value7", g.nValue7, "value8", g.nValue8,
          "value9", g.nValue9, "value10", g.nValue10, "flag", g.bFlag, "value11", g.nValue11,
          "value12", g.nValue12, "value13", g.nValue13);
  }
  return j.Done();
}

std::string TDScanModeBody(const CCmdManage& m, bool) {
  const _TDScanModeInfo& t = m.body.tdScanMode;
  Object j;
  j.Add("mode", t.nMode, "fingerTest", t.nFingerTest, "selector", t.nSelector, "selectorValue",
        t.nSelectorValue);
  const auto& f = t.fields;
  switch (t.nMode) {
    case 1:
    case 4:
      j.Add("count", f.list.nCount)
          .Raw("entries", Entries(f.list.aEntries, f.list.nCount))
          .Add("trailing", f.list.nTrailing);
      break;
    case 2:
      j.Add("search1", f.cellSearch.nSearchValue1, "search2", f.cellSearch.nSearchValue2, "search3",
            f.cellSearch.nSearchValue3, "search4", f.cellSearch.nSearchValue4);
      break;
    case 3:
      j.Add("sa1", f.sa.nSAValue1, "sa2", f.sa.nSAValue2, "sa3", f.sa.nSAValue3, "sa4",
            f.sa.nSAValue4, "saFlag", f.sa.bSAFlag, "sa5", f.sa.nSAValue5);
      break;
    case 5:
      j.Add("cw1", f.cw.nCWValue1, "cw2", f.cw.nCWValue2);
      break;
    case 6: {
      const _TDChannelScan& c = f.channel;
      j.Add("channel1", c.nChannelValue1, "channel2", c.nChannelValue2, "channel3",
            c.nChannelValue3, "channel4", c.nChannelValue4, "channel5", c.nChannelValue5,
            "channel6", c.nChannelValue6)
          .Text("block1", Hex(c.byBlock1, sizeof c.byBlock1))
          .Text("block2", Hex(c.byBlock2, sizeof c.byBlock2));
      break;
    }
    case 8:
      j.Add("mode8Value1", f.mode8.nValue1, "mode8Value2", f.mode8.nValue2, "mode8Value3",
            f.mode8.nValue3);
      break;
    default:
      break;
  }
  return j.Done();
}

std::string CellRecordsBody(const CCmdManage& m, bool) {
  const _CellRecordReport& b = m.body.cellRecords;
  Object j;
  MeasurementHeader(j, b).Add("headerValue1", b.nHeaderValue1, "headerValue2", b.nHeaderValue2,
                              "count", b.nCount, "reportValue", b.nReportValue);
  const auto record = [](const _CellRecord& r, size_t) {
    return Object()
        .Add("value1", r.nRecordValue1, "value2", r.nRecordValue2, "value3", r.nRecordValue3,
             "value4", r.nRecordValue4, "value5", r.nRecordValue5, "value6", r.nRecordValue6,
             "entryCount", r.nEntryCount)
        .Raw("entries", Entries(r.aEntries, r.nEntryCount))
        .Done();
  };
  return j.Raw("records", Each(b.aRecords, b.nCount, record)).Done();
}

// The GPS check's verdict on record i, read from bit (i mod 32) of the masks. Without a
// base-station list the masks say nothing.
const char* Verdict(const _TDCellReport& report, size_t index, bool stationsLoaded) {
  if (!stationsLoaded) return "unchecked";
  const uint32_t bit = uint32_t{1} << (index % 32);
  if ((report.nFoundMask & bit) == 0) return "not-listed";
  return (report.nMismatchMask & bit) != 0 ? "delay-mismatch" : "found";
}

std::string TDCellsBody(const CCmdManage& m, bool stationsLoaded) {
  const _TDCellReport& b = m.body.tdCells;
  Object j;
  MeasurementHeader(j, b).Add("mismatchMask", b.nMismatchMask, "foundMask", b.nFoundMask,
                              "reportByte", b.nReportByte, "count", b.nCount);
  const auto cell = [&](const _TDCellRecord& c, size_t i) {
    const auto finger = [](const _TDFinger& f, size_t) {
      const uint32_t values[] = {f.nValue1, f.nValue2, f.nValue3, f.nValue4};
      return Values(values);
    };
    return Object()
        .Add("cellKey1", c.nCellKey1, "cellKey2", c.nCellKey2)
        .Raw("cellValues", Values(c.aCellValues))
        .Add("measuredDelay", static_cast<int16_t>(c.nMeasuredDelay), "fingerValue", c.nFingerValue)
        .Raw("fingers", Each(c.aFingers, std::size(c.aFingers), finger))
        .Text("verdict", Verdict(b, i, stationsLoaded))
        .Done();
  };
  return j.Raw("cells", Each(b.aRecords, b.nCount, cell)).Done();
}

template <typename Record>
Object ProfileRecord(const Record& p) {
  Object r;
  r.Add("profileByte", p.nProfileByte)
      .Raw("firstProfile", Values(p.aFirstProfile))
      .Raw("secondProfile", Values(p.aSecondProfile));
  return r;
}

std::string TDProfileBody(const CCmdManage& m, bool) {
  const _TDProfileReport& b = m.body.tdProfile;
  Object j;
  MeasurementHeader(j, b).Add("headerValue1", b.nHeaderValue1, "headerValue2", b.nHeaderValue2,
                              "headerValue3", b.nHeaderValue3, "headerValue4", b.nHeaderValue4,
                              "headerValue5", b.nHeaderValue5, "reportByte1", b.nReportByte1,
                              "reportByte2", b.nReportByte2, "count", b.nCount);
  const auto record = [](const _TDProfileRecord& p, size_t) {
    return ProfileRecord(p)
        .Add("profileValue1", p.nProfileValue1, "profileValue2", p.nProfileValue2, "profileValue3",
             p.nProfileValue3, "profileValue4", p.nProfileValue4, "profileValue5", p.nProfileValue5)
        .Done();
  };
  return j.Raw("records", Each(b.aRecords, b.nCount, record)).Done();
}

std::string TDShortProfileBody(const CCmdManage& m, bool) {
  const _TDShortProfileReport& b = m.body.tdShortProfile;
  Object j;
  MeasurementHeader(j, b).Add("headerValue1", b.nHeaderValue1, "headerValue2", b.nHeaderValue2,
                              "headerValue3", b.nHeaderValue3, "headerValue4", b.nHeaderValue4,
                              "count", b.nCount);
  const auto record = [](const _TDShortProfileRecord& p, size_t) {
    return ProfileRecord(p)
        .Add("profileValue1", p.nProfileValue1, "profileValue2", p.nProfileValue2)
        .Done();
  };
  return j.Raw("records", Each(b.aRecords, b.nCount, record)).Done();
}

std::string ValueBody(const CCmdManage& m, bool) {
  return Object().Add("replyValue", m.body.reply.nReplyValue).Done();
}

// Both version replies: two texts, then a value and a byte.
template <auto Reply>
std::string TwoBlockBody(const CCmdManage& m, bool) {
  const auto& r = m.body.*Reply;
  Object j;
  PutText(j, "block1", r.byBlock1, sizeof r.byBlock1);
  PutText(j, "block2", r.byBlock2, sizeof r.byBlock2);
  return j.Add("value", r.nValue, "tailByte", r.nTailByte).Done();
}

std::string OneValueBody(const CCmdManage& m, bool) {
  return Object().Add("value", m.body.oneValue.nValue).Done();
}

std::string FamilyBody(const CCmdManage& m, bool) {
  return Object().Add("familyValue", m.body.family.nFamilyValue).Done();
}

std::string ThreeValuesBody(const CCmdManage& m, bool) {
  const auto& r = m.body.threeValues;
  return Object().Add("value1", r.nValue1, "value2", r.nValue2, "value3", r.nValue3).Done();
}

std::string GpsTextBody(const CCmdManage& m, bool) {
  const auto& r = m.body.gpsText;
  Object j;
  return MeasurementHeader(j, r)
      .Add("headerValue1", r.nHeaderValue1, "headerValue2", r.nHeaderValue2)
      .Done();
}

std::string BatteryBody(const CCmdManage& m, bool) {
  const auto& r = m.body.battery;
  return Object().Add("batteryValue1", r.nBatteryValue1, "batteryValue2", r.nBatteryValue2).Done();
}

std::string ShortStatusBody(const CCmdManage& m, bool) {
  const auto& r = m.body.shortStatus;
  return Object().Add("value1", r.nValue1, "value2", r.nValue2).Done();
}

std::string LinkStatusBody(const CCmdManage& m, bool) {
  const int s = m.body.linkStatus.nStatusByte1;
  return Object()
      .Add("statusByte0", m.body.linkStatus.nStatusByte0, "statusByte1", s)
      .Text("status", s == SCANLINK_LINK_LOST           ? "lost"
                      : s == SCANLINK_LINK_RESTORED     ? "restored"
                      : s == SCANLINK_LINK_RETRY_FAILED ? "retry-failed"
                                                        : "unknown")
      .Done();
}

std::string ValueListBody(const CCmdManage& m, bool) {
  const auto& r = m.body.valueList;
  Object j;
  return MeasurementHeader(j, r)
      .Add("headerValue1", r.nHeaderValue1, "headerValue2", r.nHeaderValue2, "headerValue3",
           r.nHeaderValue3, "count", r.nCount)
      .Raw("values", Values(r.aValues, r.nCount))
      .Done();
}

std::string TDValueListBody(const CCmdManage& m, bool) {
  const auto& r = m.body.tdValueList;
  Object j;
  return MeasurementHeader(j, r)
      .Add("headerValue1", r.nHeaderValue1, "headerValue2", r.nHeaderValue2, "count", r.nCount)
      .Raw("values", Values(r.aValues, r.nCount))
      .Done();
}

std::string ShortValueListBody(const CCmdManage& m, bool) {
  const auto& r = m.body.shortValueList;
  return Object()
      .Add("count", r.nCount, "reportValue", r.nReportValue)
      .Raw("values", Values(r.aValues, r.nCount))
      .Add("tailByte", r.nTailByte)
      .Done();
}

std::string SweepBody(const CCmdManage& m, bool) {
  // The decoder rewrites the record's length to 14 + 2 * points stored.
  const int points = m.nLength >= 14 ? (m.nLength - 14) / 2 : 0;
  const auto& r = m.body.sweep;
  return Object()
      .Add("start", r.nStart, "end", r.nEnd, "step", r.nStep, "pointCount", points)
      .Raw("points", Values(r.aPoints, static_cast<size_t>(points)))
      .Done();
}

// The commands' layouts have no row: a command's body shows as {}.
constexpr LayoutTable<JsonBody> kBodies = ByLayout<JsonBody>({
    {BodyLayout::kValue, ValueBody},
    {BodyLayout::kWScanMode, WScanModeBody},
    {BodyLayout::kTDScanMode, TDScanModeBody},
    {BodyLayout::kTwoBlock, TwoBlockBody<&_CmdBody::twoBlock>},
    {BodyLayout::kOneValue, OneValueBody},
    {BodyLayout::kFamily, FamilyBody},
    {BodyLayout::kThreeValues, ThreeValuesBody},
    {BodyLayout::kTDTwoBlock, TwoBlockBody<&_CmdBody::tdTwoBlock>},
    {BodyLayout::kGpsText, GpsTextBody},
    {BodyLayout::kBattery, BatteryBody},
    {BodyLayout::kShortStatus, ShortStatusBody},
    {BodyLayout::kLinkStatus, LinkStatusBody},
    {BodyLayout::kValueList, ValueListBody},
    {BodyLayout::kTDValueList, TDValueListBody},
    {BodyLayout::kShortValueList, ShortValueListBody},
    {BodyLayout::kCellRecords, CellRecordsBody},
    {BodyLayout::kSweep, SweepBody},
    {BodyLayout::kTDCells, TDCellsBody},
    {BodyLayout::kTDProfile, TDProfileBody},
    {BodyLayout::kTDShortProfile, TDShortProfileBody},
});

std::string Body(const CCmdManage& m, bool stationsLoaded) {
  const MessageCode* entry = FindMessageCode(m.nCode);
  if (entry == nullptr || entry->kind == MessageKind::kCommand) return "{}";
  const JsonBody body = kBodies[static_cast<size_t>(entry->layout)];
  return body != nullptr ? body(m, stationsLoaded) : "{}";
}

const char* Kind(uint16_t code, uint16_t transId) {
  if (code == SCANLINK_CODE_LINK_STATUS) return "link";
  if (transId == SCANLINK_TRANS_BROADCAST) return "report";
  const MessageCode* entry = FindMessageCode(code);
  return entry != nullptr && entry->kind == MessageKind::kCommand ? "command" : "reply";
}

}  // namespace

std::string RecordJson(const CCmdManage& m, bool stationsLoaded) {
  char hex[8];
  std::snprintf(hex, sizeof hex, "0x%04X", m.nCode);
  const MessageCode* entry = FindMessageCode(m.nCode);
  return Object()
      .Text("kind", Kind(m.nCode, m.nTransID))
      .Add("code", m.nCode)
      .Text("codeHex", hex)
      .Text("name", entry != nullptr ? std::string(entry->name) : std::string("Code") + hex)
      .Add("trans", m.nTransID)
      .Add("length", m.nLength)
      .Raw("body", Body(m, stationsLoaded))
      .Done();
}

}  // namespace scanlink::codec
