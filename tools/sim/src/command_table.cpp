#include "command_table.h"

namespace scanlink::sim {
namespace {
using namespace layout_dsl;

constexpr Field kCellEntryFields[] = {
    u32("first"),
    u16("second"),
};
constexpr Layout kCellEntry{"cell entry", kCellEntryFields};
constexpr Field kFreqEntryFields[] = {
    u32(""),
};
constexpr Layout kFreqEntry{"frequency entry", kFreqEntryFields};

constexpr Field kWGeneralFields[] = {
    u8("mode"),    u32("value1"), u32("value2"),  u32("value3"), u16("value4"),
    u16("value5"), u8("value6"),  u8("value7"),   u16("value8"), u8("value9"),
    u8("value10"), u8("flag"),    i16("value11"), u8("value12"), u32("value13"),
};
constexpr Layout kWGeneral{"WCDMA general scan mode", kWGeneralFields};

constexpr Field kWCellListFields[] = {
    u8("mode"),       u8("listValue1"), u16("listValue2"),
    u8("listValue3"), u8("count"),      list("entries", "count", kCellEntry),
};
constexpr Layout kWCellList{"WCDMA cell-list scan mode", kWCellListFields};

constexpr Field kWFreqListFields[] = {
    u8("mode"),       u8("listValue1"), u16("listValue2"),
    u8("listValue3"), u8("count"),      list("entries", "count", kFreqEntry),
};
constexpr Layout kWFreqList{"WCDMA frequency-list scan mode", kWFreqListFields};

constexpr Field kTdHeaderFields[] = {
    u8("mode"),
    u8("fingerTest"),
    u8("selector"),
    u16("selectorValue"),
};
constexpr Layout kTdHeader{"TD scan-mode header", kTdHeaderFields};

constexpr Field kTdListFields[] = {
    u8("mode"),           u8("fingerTest"), u8("selector"),
    u16("selectorValue"), u8("count"),      list("entries", "count", kCellEntry),
    u8("trailing"),
};
constexpr Layout kTdList{"TD list scan mode", kTdListFields};

constexpr Field kTdSearchFields[] = {
    u8("mode"),    u8("fingerTest"), u8("selector"), u16("selectorValue"),
    u8("search1"), u16("search2"),   u32("search3"), u32("search4"),
};
constexpr Layout kTdSearch{"TD cell-search scan mode", kTdSearchFields};

constexpr Field kTdSaFields[] = {
    u8("mode"), u8("fingerTest"), u8("selector"), u16("selectorValue"), u32("sa1"),
    u32("sa2"), u32("sa3"),       u8("sa4"),      u8("saFlag"),         i16("sa5"),
};
constexpr Layout kTdSa{"TD SA scan mode", kTdSaFields};

constexpr Field kTdCwFields[] = {
    u8("mode"), u8("fingerTest"), u8("selector"), u16("selectorValue"), u32("cw1"), u16("cw2"),
};
constexpr Layout kTdCw{"TD CW scan mode", kTdCwFields};

constexpr Field kTdChannelFields[] = {
    u8("mode"),      u8("fingerTest"), u8("selector"),    u16("selectorValue"),
    u32("channel1"), u32("channel2"),  u16("channel3"),   u8("channel4"),
    u8("channel5"),  u8("channel6"),   hex("block1", 16), hex("block2", 16),
};
constexpr Layout kTdChannel{"TD channel scan mode", kTdChannelFields};

constexpr Field kTdMode8Fields[] = {
    u8("mode"),         u8("fingerTest"),  u8("selector"),     u16("selectorValue"),
    u32("mode8Value1"), u8("mode8Value2"), u16("mode8Value3"),
};
constexpr Layout kTdMode8{"TD mode-8 scan mode", kTdMode8Fields};

constexpr Field kStartTimeFields[] = {
    u16("year"), u8("month"), u8("day"), u8("hour"), u8("minute"), u8("second"),
};
constexpr Layout kStartTime{"scan start time", kStartTimeFields};

constexpr Field kCommand22Fields[] = {
    u32("value1"),
    u8("value2"),
    hex("block1", 10),
    hex("block2", 10),
};
constexpr Layout kCommand22{"code-22 body", kCommand22Fields};

constexpr Field kLoginFields[] = {
    hex("text1", 16),
    hex("text2", 16),
};
constexpr Layout kLogin{"login", kLoginFields};

constexpr Field kIpFields[] = {
    u32("address"),
};
constexpr Layout kIp{"IPv4 address", kIpFields};

constexpr Field kMacFields[] = {
    hex("address", 6),
};
constexpr Layout kMac{"MAC address", kMacFields};

constexpr Field kSignedFields[] = {
    i16("value"),
};
constexpr Layout kSigned{"one signed value", kSignedFields};

constexpr Field kTwoValuesFields[] = {
    u16("value1"),
    i16("value2"),
};
constexpr Layout kTwoValues{"two values", kTwoValuesFields};

constexpr Field kGpsFormatFields[] = {
    u16("value1"),
    u16("value2"),
};
constexpr Layout kGpsFormat{"GPS info format", kGpsFormatFields};

}  // namespace

std::string_view command_name(std::uint16_t c) {
  switch (c) {
    case code::kSetWScanMode:
      return "SetWScanMode";
    case code::kStartScan:
      return "StartScan";
    case code::kStopScan:
      return "StopScan";
    case code::kGetScanMode:
      return "GetScanMode";
    case code::kReset:
      return "ResetScanner";
    case code::kGetVersion:
      return "GetVersion";
    case code::kCommand22:
      return "Command22";
    case code::kLogin:
      return "Login";
    case code::kChangePassword:
      return "ChangePassword";
    case code::kSetIpAddress:
      return "SetIPAddress";
    case code::kSetMacAddress:
      return "SetMACAddress";
    case code::kSetSignedValue:
      return "SetSignedValue";
    case code::kSetTwoValues:
      return "SetTwoValues";
    case code::kCommand113:
      return "Command113";
    case code::kSetTdScanMode:
      return "SetTDScanMode";
    case code::kStartTdScan:
      return "StartTDScan";
    case code::kStopTdScan:
      return "StopTDScan";
    case code::kGetTdScanMode:
      return "GetTDScanMode";
    case code::kResetTd:
      return "ResetTDScanner";
    case code::kGetTdVersion:
      return "GetTDVersion";
    case code::kQueryBattery:
      return "QueryBattery";
    case code::kSetGpsInfoFormat:
      return "SetGpsInfoFormat";
    default:
      return "Unknown";
  }
}

const Layout& wcdma_scan_mode_layout(std::uint8_t mode) {
  if (mode == 7) return kWCellList;
  if (mode == 8) return kWFreqList;
  return kWGeneral;
}

const Layout& td_scan_mode_layout(std::uint8_t mode) {
  switch (mode) {
    case 1:
    case 4:
      return kTdList;
    case 2:
      return kTdSearch;
    case 3:
      return kTdSa;
    case 5:
      return kTdCw;
    case 6:
      return kTdChannel;
    case 8:
      return kTdMode8;
    default:
      return kTdHeader;
  }
}

std::string_view wcdma_mode_name(std::uint8_t mode) {
  if (mode == 7) return "cell list";
  if (mode == 8) return "frequency list";
  return "general";
}

std::string_view td_mode_name(std::uint8_t mode) {
  switch (mode) {
    case 1:
      return "cell list";
    case 2:
      return "cell search";
    case 3:
      return "SA scan";
    case 4:
      return "frequency list";
    case 5:
      return "CW scan";
    case 6:
      return "channel scan";
    case 8:
      return "mode 8";
    default:
      return "no fields";
  }
}

const Layout* command_layout(std::uint16_t c, ByteView payload) {
  switch (c) {
    case code::kSetWScanMode:
      return payload.empty() ? nullptr : &wcdma_scan_mode_layout(payload[0]);
    case code::kSetTdScanMode:
      return payload.empty() ? nullptr : &td_scan_mode_layout(payload[0]);
    case code::kStartScan:
      return &kStartTime;
    // The TD start command may go out with or without the start time.
    case code::kStartTdScan:
      return payload.empty() ? nullptr : &kStartTime;
    case code::kCommand22:
      return &kCommand22;
    case code::kLogin:
    case code::kChangePassword:
      return &kLogin;
    case code::kSetIpAddress:
      return &kIp;
    case code::kSetMacAddress:
      return &kMac;
    case code::kSetSignedValue:
      return &kSigned;
    case code::kSetTwoValues:
      return &kTwoValues;
    case code::kSetGpsInfoFormat:
      return &kGpsFormat;
    default:
      return nullptr;
  }
}

bool td_mode_has_fields(std::uint8_t mode) { return (mode >= 1 && mode <= 6) || mode == 8; }

namespace {

// What the layouts alone let through but no sender may put on the wire.
void check_command(std::uint16_t c, ByteView payload, const Json& fields,
                   std::vector<std::string>& problems) {
  if (payload.size() > kMaxCommandPayload) {
    problems.push_back(std::to_string(payload.size()) + " payload bytes, more than the " +
                       std::to_string(kMaxCommandPayload) + " a command frame holds");
  }
  if (c == code::kSetWScanMode && payload.empty()) {
    problems.push_back("empty payload: a WCDMA scan mode always carries its mode and fields");
  }
  if (c == code::kSetTdScanMode && !payload.empty() && !td_mode_has_fields(payload[0])) {
    problems.push_back("TD mode " + std::to_string(payload[0]) +
                       " has no fields and goes out with an empty payload, not " +
                       std::to_string(payload.size()) + " bytes");
  }
  for (const char* flag : {"flag", "saFlag"}) {
    auto it = fields.find(flag);
    if (it != fields.end() && *it != 0 && *it != 1) {
      problems.push_back(std::string(flag) + " holds " + it->dump() + ", not 0 or 1");
    }
  }
}

}  // namespace

DecodedCommand decode_command(std::uint16_t c, ByteView payload) {
  DecodedCommand d;
  d.name = command_name(c);
  if (!payload.empty() && c == code::kSetWScanMode) d.mode_name = wcdma_mode_name(payload[0]);
  if (!payload.empty() && c == code::kSetTdScanMode) d.mode_name = td_mode_name(payload[0]);
  const Layout* layout = command_layout(c, payload);
  if (layout == nullptr) {
    if (!payload.empty()) {
      d.problems.push_back(std::to_string(payload.size()) +
                           " payload bytes on a command without a body");
    }
  } else {
    Decoded decoded = decode(*layout, payload);
    d.fields = std::move(decoded.fields);
    d.problems = std::move(decoded.problems);
  }
  check_command(c, payload, d.fields, d.problems);
  return d;
}

}  // namespace scanlink::sim
