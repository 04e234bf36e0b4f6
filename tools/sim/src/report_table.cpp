#include "report_table.h"

namespace scanlink::sim {
namespace {
using namespace layout_dsl;

constexpr Field kU16Fields[] = {
    u16(""),
};
constexpr Layout kU16{"u16", kU16Fields};

constexpr Field kValueListFields[] = {
    u8("headerByte"),
    text("gpsText", kGpsTextSize),
    u32("headerValue1"),
    u32("headerValue2"),
    u32("headerValue3"),
    u16("count"),
    list("values", "count", kU16),
};
constexpr Layout kValueList{"value-list report", kValueListFields};

constexpr Field kTdValueListFields[] = {
    u8("headerByte"), text("gpsText", kGpsTextSize), u32("headerValue1"), u32("headerValue2"),
    u16("count"),     list("values", "count", kU16),
};
constexpr Layout kTdValueList{"TD value-list report", kTdValueListFields};

constexpr Field kShortValueListFields[] = {
    u16("count"),
    u32("reportValue"),
    list("values", "count", kU16),
    u8("tail"),
};
constexpr Layout kShortValueList{"short value-list report", kShortValueListFields};

constexpr Field kCellEntryFields[] = {
    u32("first"),
    u16("second"),
};
constexpr Layout kCellEntry{"cell entry", kCellEntryFields};

constexpr Field kCellRecordFields[] = {
    u32("value1"), u16("value2"), u16("value3"), u16("value4"),
    u16("value5"), u16("value6"), u8("count"),   list("entries", "count", kCellEntry),
};
constexpr Layout kCellRecord{"cell record", kCellRecordFields};

constexpr Field kCellRecordsFields[] = {
    u8("headerByte"),
    text("gpsText", kGpsTextSize),
    u32("headerValue1"),
    u32("headerValue2"),
    skip(1),
    u8("count"),
    u32("reportValue"),
    list("records", "count", kCellRecord),
};
constexpr Layout kCellRecords{"cell-record report", kCellRecordsFields};

constexpr Field kSweepFields[] = {
    u32("start"),
    u32("end"),
    u32("step"),
    rest("points", kU16),
};
constexpr Layout kSweep{"sweep report", kSweepFields};

constexpr Field kFingerFields[] = {
    u32("value1"),
    u32("value2"),
    u32("value3"),
    u32("value4"),
};
constexpr Layout kFinger{"finger", kFingerFields};

constexpr Field kTdCellFields[] = {
    u32("key1"),
    u16("key2"),
    array("values", 21, kU16),
    i16("delay"),
};
constexpr Layout kTdCell{"TD cell record", kTdCellFields};
constexpr Field kTdCellFingerFields[] = {
    u32("key1"),  u16("key2"),        array("values", 21, kU16),
    i16("delay"), u32("fingerValue"), array("fingers", 4, kFinger),
};
constexpr Layout kTdCellFinger{"TD cell record with fingers", kTdCellFingerFields};

constexpr Field kTdCellsFields[] = {
    u8("headerByte"), text("gpsText", kGpsTextSize),   u32("gpsMode"), skip(4), u8("reportByte"),
    u8("count"),      list("cells", "count", kTdCell),
};
constexpr Layout kTdCells{"TD cell report", kTdCellsFields};
constexpr Field kTdCellsFingerFields[] = {
    u8("headerByte"),
    text("gpsText", kGpsTextSize),
    u32("gpsMode"),
    skip(4),
    u8("reportByte"),
    u8("count"),
    list("cells", "count", kTdCellFinger),
};
constexpr Layout kTdCellsFinger{"TD cell report with fingers", kTdCellsFingerFields};

constexpr Field kProfileFields[] = {
    u8("profileByte"),
    u32("value1"),
    u32("value2"),
    u32("value3"),
    u16("value4"),
    u32("value5"),
    array("first", 144, kU16),
    array("second", 144, kU16),
};
constexpr Layout kProfile{"profile record", kProfileFields};

constexpr Field kTdProfileFields[] = {
    u8("headerByte"),
    text("gpsText", kGpsTextSize),
    u32("headerValue1"),
    u32("headerValue2"),
    u32("headerValue3"),
    u32("headerValue4"),
    u32("headerValue5"),
    u8("reportByte1"),
    u8("reportByte2"),
    u8("count"),
    list("profiles", "count", kProfile),
};
constexpr Layout kTdProfile{"TD profile report", kTdProfileFields};

constexpr Field kShortProfileFields[] = {
    u8("profileByte"),          u16("value1"), u32("value2"), array("first", 144, kU16),
    array("second", 144, kU16),
};
constexpr Layout kShortProfile{"short profile record", kShortProfileFields};

constexpr Field kTdShortProfileFields[] = {
    u8("headerByte"),    text("gpsText", kGpsTextSize),
    u32("headerValue1"), u32("headerValue2"),
    u32("headerValue3"), u32("headerValue4"),
    u8("count"),         list("profiles", "count", kShortProfile),
};
constexpr Layout kTdShortProfile{"TD short profile report", kTdShortProfileFields};

constexpr Field kStatusFields[] = {
    u16("value"),
};
constexpr Layout kStatus{"status report", kStatusFields};

constexpr Field kTdStatusFields[] = {
    u32("value1"),
    u16("value2"),
};
constexpr Layout kTdStatus{"TD status report", kTdStatusFields};

}  // namespace

const Layout* report_layout(std::uint16_t code, bool finger) {
  switch (code) {
    case report_code::kValueList:
      return &kValueList;
    case report_code::kStatus:
      return &kStatus;
    case report_code::kShortValueList:
      return &kShortValueList;
    case report_code::kCellRecords:
    case report_code::kCellRecords41:
    case report_code::kCellRecords257:
    case report_code::kCellRecords259:
      return &kCellRecords;
    case report_code::kSweep:
    case report_code::kTdSweep:
      return &kSweep;
    case report_code::kTdCells:
      return finger ? &kTdCellsFinger : &kTdCells;
    case report_code::kTdValueList:
      return &kTdValueList;
    case report_code::kTdStatus:
      return &kTdStatus;
    case report_code::kTdProfile:
      return &kTdProfile;
    case report_code::kTdShortProfile:
      return &kTdShortProfile;
    default:
      return nullptr;
  }
}

std::string_view report_name(std::uint16_t code) {
  switch (code) {
    case report_code::kValueList:
      return "ValueListReport";
    case report_code::kStatus:
      return "StatusReport";
    case report_code::kShortValueList:
      return "ShortValueListReport";
    case report_code::kCellRecords:
    case report_code::kCellRecords41:
    case report_code::kCellRecords257:
    case report_code::kCellRecords259:
      return "CellRecordReport";
    case report_code::kSweep:
      return "SweepReport";
    case report_code::kTdSweep:
      return "TDSweepReport";
    case report_code::kTdCells:
      return "TDCellReport";
    case report_code::kTdValueList:
      return "TDValueListReport";
    case report_code::kTdStatus:
      return "TDStatusReport";
    case report_code::kTdProfile:
      return "TDProfileReport";
    case report_code::kTdShortProfile:
      return "TDShortProfileReport";
    default:
      return {};
  }
}

}  // namespace scanlink::sim
