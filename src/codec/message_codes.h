// The message codes, one row each: number, name, kind and the body layout it carries. The
// decoder, the encoder and the JSON rendering find a code's row and act on its layout, each from
// its own table keyed by layout; the command line's readable line switches over the layouts, and
// a test holds the dissector's tables against the rows. Header-only and free of the library's
// state, so tools include it as it is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "codec/frame_header.h"

namespace scanlink::codec {

// What a code is on the wire: a request to the scanner, its answer (a data reply or a result), a
// report the scanner sends on its own, or the library's own link status notice.
enum class MessageKind : uint8_t { kCommand, kReply, kReport, kLink };

// The body a code carries: which member of the record's body it fills and how it is laid out on
// the wire. Codes of one layout are decoded, encoded and shown alike.
enum class BodyLayout : uint8_t {
  kEmpty,  // a command without payload
  kValue,  // one 16-bit value, 0 = success
  kWScanMode,
  kTDScanMode,
  kStartTime,
  kCommand22,
  kLogin,
  kIpAddress,
  kMacAddress,
  kSignedValue,
  kTwoValues,
  kGpsFormat,
  kTwoBlock,
  kOneValue,
  kFamily,
  kThreeValues,
  kTDTwoBlock,
  kGpsText,
  kBattery,
  kShortStatus,
  kLinkStatus,
  kValueList,
  kTDValueList,
  kShortValueList,
  kCellRecords,
  kSweep,
  kTDCells,
  kTDProfile,
  kTDShortProfile,
};
inline constexpr size_t kBodyLayouts = static_cast<size_t>(BodyLayout::kTDShortProfile) + 1;

// One entry per layout (null where a layout has none), from rows of layout and entry: the
// decoder, the encoder and the JSON rendering each keep theirs.
template <typename Entry>
using LayoutTable = std::array<Entry, kBodyLayouts>;
template <typename Entry>
struct LayoutRow {
  BodyLayout layout;
  Entry entry;
};
template <typename Entry>
constexpr LayoutTable<Entry> ByLayout(std::initializer_list<LayoutRow<Entry>> rows) {
  LayoutTable<Entry> table{};
  for (const LayoutRow<Entry>& row : rows) table[static_cast<size_t>(row.layout)] = row.entry;
  return table;
}

struct MessageCode {
  uint16_t code;
  const char* name;
  MessageKind kind;
  BodyLayout layout;
};

inline constexpr MessageCode kMessageCodes[] = {
    {1, "SetWScanMode", MessageKind::kCommand, BodyLayout::kWScanMode},
    {3, "SetWScanModeResult", MessageKind::kReply, BodyLayout::kValue},
    {4, "StartScan", MessageKind::kCommand, BodyLayout::kStartTime},
    {5, "StartScanReply", MessageKind::kReply, BodyLayout::kTwoBlock},
    {6, "StartScanResult", MessageKind::kReply, BodyLayout::kValue},
    {7, "StopScan", MessageKind::kCommand, BodyLayout::kEmpty},
    {9, "StopScanResult", MessageKind::kReply, BodyLayout::kValue},
    {10, "GetScanMode", MessageKind::kCommand, BodyLayout::kEmpty},
    {11, "ScanModeReply", MessageKind::kReply, BodyLayout::kWScanMode},
    {12, "GetScanModeResult", MessageKind::kReply, BodyLayout::kValue},
    {18, "ResetScanner", MessageKind::kCommand, BodyLayout::kEmpty},
    {20, "GetVersion", MessageKind::kCommand, BodyLayout::kEmpty},
    {21, "VersionReply", MessageKind::kReply, BodyLayout::kTwoBlock},
    {22, "Command22", MessageKind::kCommand, BodyLayout::kCommand22},
    {23, "Command22Reply", MessageKind::kReply, BodyLayout::kOneValue},
    {24, "Command22Result", MessageKind::kReply, BodyLayout::kValue},
    {25, "OneValueReply", MessageKind::kReply, BodyLayout::kOneValue},
    {36, "ValueListReport", MessageKind::kReport, BodyLayout::kValueList},
    {37, "StatusReport", MessageKind::kReport, BodyLayout::kValue},
    {38, "ShortValueListReport", MessageKind::kReport, BodyLayout::kShortValueList},
    {40, "CellRecordReport", MessageKind::kReport, BodyLayout::kCellRecords},
    {41, "CellRecordReport", MessageKind::kReport, BodyLayout::kCellRecords},
    {43, "Login", MessageKind::kCommand, BodyLayout::kLogin},
    {44, "FamilyReply", MessageKind::kReply, BodyLayout::kFamily},
    {46, "ChangePassword", MessageKind::kCommand, BodyLayout::kLogin},
    {51, "ThreeValueReply", MessageKind::kReply, BodyLayout::kThreeValues},
    {73, "SweepReport", MessageKind::kReport, BodyLayout::kSweep},
    {81, "SetIPAddress", MessageKind::kCommand, BodyLayout::kIpAddress},
    {84, "SetMACAddress", MessageKind::kCommand, BodyLayout::kMacAddress},
    {87, "SetSignedValue", MessageKind::kCommand, BodyLayout::kSignedValue},
    {89, "SetSignedValueResult", MessageKind::kReply, BodyLayout::kValue},
    {97, "SetTwoValues", MessageKind::kCommand, BodyLayout::kTwoValues},
    {99, "SetTwoValuesResult", MessageKind::kReply, BodyLayout::kValue},
    {113, "Command113", MessageKind::kCommand, BodyLayout::kEmpty},
    {257, "CellRecordReport", MessageKind::kReport, BodyLayout::kCellRecords},
    {259, "CellRecordReport", MessageKind::kReport, BodyLayout::kCellRecords},
    {0xF001, "SetTDScanMode", MessageKind::kCommand, BodyLayout::kTDScanMode},
    {0xF003, "SetTDScanModeResult", MessageKind::kReply, BodyLayout::kValue},
    {0xF004, "StartTDScan", MessageKind::kCommand, BodyLayout::kEmpty},
    {0xF006, "StartTDScanResult", MessageKind::kReply, BodyLayout::kValue},
    {0xF007, "StopTDScan", MessageKind::kCommand, BodyLayout::kEmpty},
    {0xF009, "StopTDScanResult", MessageKind::kReply, BodyLayout::kValue},
    {0xF00A, "GetTDScanMode", MessageKind::kCommand, BodyLayout::kEmpty},
    {0xF00B, "TDScanModeReply", MessageKind::kReply, BodyLayout::kTDScanMode},
    {0xF00C, "GetTDScanModeResult", MessageKind::kReply, BodyLayout::kValue},
    {0xF012, "ResetTDScanner", MessageKind::kCommand, BodyLayout::kEmpty},
    {0xF014, "GetTDVersion", MessageKind::kCommand, BodyLayout::kEmpty},
    {0xF015, "TDVersionReply", MessageKind::kReply, BodyLayout::kTDTwoBlock},
    {0xF025, "TDCellReport", MessageKind::kReport, BodyLayout::kTDCells},
    {0xF026, "TDSweepReport", MessageKind::kReport, BodyLayout::kSweep},
    {0xF027, "TDValueListReport", MessageKind::kReport, BodyLayout::kTDValueList},
    {0xF028, "TDStatusReport", MessageKind::kReport, BodyLayout::kShortStatus},
    {0xF02A, "GpsTextReply", MessageKind::kReply, BodyLayout::kGpsText},
    {0xF02B, "GpsTextResult", MessageKind::kReply, BodyLayout::kValue},
    {0xF030, "QueryBattery", MessageKind::kCommand, BodyLayout::kEmpty},
    {0xF031, "BatteryReply", MessageKind::kReply, BodyLayout::kBattery},
    {0xF032, "QueryBatteryResult", MessageKind::kReply, BodyLayout::kValue},
    {0xF040, "SetGpsInfoFormat", MessageKind::kCommand, BodyLayout::kGpsFormat},
    {0xF042, "SetGpsInfoFormatResult", MessageKind::kReply, BodyLayout::kValue},
    {0xF100, "TDProfileReport", MessageKind::kReport, BodyLayout::kTDProfile},
    {0xF102, "TDShortProfileReport", MessageKind::kReport, BodyLayout::kTDShortProfile},
    {kLinkStatusCode, "LinkStatusNotice", MessageKind::kLink, BodyLayout::kLinkStatus},
};

namespace detail {

// Codes sit in two dense blocks (the WCDMA ones from 1, the TD ones from 0xF000): a lookup there is
// one array read, since the decoder looks up every frame's code.
inline constexpr uint16_t kTDBase = 0xF000;
inline constexpr uint16_t kIndexSpan = 0x200;
struct CodeIndex {
  uint8_t low[kIndexSpan] = {};   // row + 1 of code c, 0 for none
  uint8_t high[kIndexSpan] = {};  // the same for code kTDBase + c
};
constexpr CodeIndex MakeCodeIndex() {
  CodeIndex index;
  for (size_t i = 0; i < std::size(kMessageCodes); ++i) {
    const uint16_t code = kMessageCodes[i].code;
    if (code < kIndexSpan) index.low[code] = static_cast<uint8_t>(i + 1);
    if (code >= kTDBase && code < kTDBase + kIndexSpan) {
      index.high[code - kTDBase] = static_cast<uint8_t>(i + 1);
    }
  }
  return index;
}
inline constexpr CodeIndex kCodeIndex = MakeCodeIndex();
static_assert(std::size(kMessageCodes) < 255);

}  // namespace detail

// The entry of a code, or nullptr for a code not in the table.
constexpr const MessageCode* FindMessageCode(uint16_t code) {
  size_t slot = 0;
  if (code < detail::kIndexSpan) {
    slot = detail::kCodeIndex.low[code];
  } else if (code >= detail::kTDBase && code < detail::kTDBase + detail::kIndexSpan) {
    slot = detail::kCodeIndex.high[code - detail::kTDBase];
  } else {
    for (const MessageCode& entry : kMessageCodes) {
      if (entry.code == code) return &entry;
    }
  }
  return slot != 0 ? &kMessageCodes[slot - 1] : nullptr;
}

namespace detail {
// Never defined: a name missing from the table makes CodeNamed no constant expression.
uint16_t NameMissingFromTheCodeTable();
}  // namespace detail

// The code of a name in the table, for code that acts on one message itself: a constant
// initialised from a name not in the table fails to compile.
constexpr uint16_t CodeNamed(std::string_view name) {
  for (const MessageCode& entry : kMessageCodes) {
    if (name == entry.name) return entry.code;
  }
  return detail::NameMissingFromTheCodeTable();
}

// The codes the library sends or acts on itself, by name.
namespace codes {
inline constexpr uint16_t kSetWScanMode = CodeNamed("SetWScanMode");
inline constexpr uint16_t kSetTDScanMode = CodeNamed("SetTDScanMode");
inline constexpr uint16_t kStartScan = CodeNamed("StartScan");
inline constexpr uint16_t kStopScan = CodeNamed("StopScan");
inline constexpr uint16_t kGetScanMode = CodeNamed("GetScanMode");
inline constexpr uint16_t kResetScanner = CodeNamed("ResetScanner");
inline constexpr uint16_t kGetVersion = CodeNamed("GetVersion");
inline constexpr uint16_t kLogin = CodeNamed("Login");
inline constexpr uint16_t kChangePassword = CodeNamed("ChangePassword");
inline constexpr uint16_t kSetIPAddress = CodeNamed("SetIPAddress");
inline constexpr uint16_t kSetMACAddress = CodeNamed("SetMACAddress");
inline constexpr uint16_t kQueryBattery = CodeNamed("QueryBattery");
inline constexpr uint16_t kSetGpsInfoFormat = CodeNamed("SetGpsInfoFormat");
inline constexpr uint16_t kFamilyReply = CodeNamed("FamilyReply");
}  // namespace codes

// The operations that exist for both families: a TD-SCDMA scanner takes the WCDMA code with 0xF000
// set.
constexpr uint16_t TDCodeOf(uint16_t wcdmaCode) {
  return static_cast<uint16_t>(detail::kTDBase | wcdmaCode);
}
static_assert(TDCodeOf(codes::kSetWScanMode) == codes::kSetTDScanMode &&
              TDCodeOf(codes::kStartScan) == CodeNamed("StartTDScan") &&
              TDCodeOf(codes::kStopScan) == CodeNamed("StopTDScan") &&
              TDCodeOf(codes::kGetScanMode) == CodeNamed("GetTDScanMode") &&
              TDCodeOf(codes::kResetScanner) == CodeNamed("ResetTDScanner") &&
              TDCodeOf(codes::kGetVersion) == CodeNamed("GetTDVersion"));

// Type 1 or 2, family 1 (WCDMA) or 2 (TD-SCDMA); both 0 when the value names neither.
struct ScannerFamily {
  int type;
  int family;
};

// What the family reply's value says about the scanner: ten times the family, plus the type.
constexpr ScannerFamily FamilyOfValue(uint32_t v) {
  if (v != 11 && v != 12 && v != 21 && v != 22) return {0, 0};
  return {static_cast<int>(v % 10), static_cast<int>(v / 10)};
}

}  // namespace scanlink::codec
