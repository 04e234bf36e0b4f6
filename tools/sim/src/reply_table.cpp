#include "reply_table.h"

#include "command_table.h"

namespace scanlink::sim {
namespace {
using namespace layout_dsl;

constexpr Field kValueFields[] = {
    u16("value"),
};
constexpr Layout kValue{"reply value", kValueFields};
constexpr Field kTwoBlockFields[] = {
    hex("block1", 16),
    hex("block2", 16),
    u32("value"),
    u8("tail"),
};
constexpr Layout kTwoBlock{"two-block reply", kTwoBlockFields};
constexpr Field kOneValueFields[] = {
    u32("value"),
};
constexpr Layout kOneValue{"one-value reply", kOneValueFields};
constexpr Field kFamilyFields[] = {
    u32("family"),
};
constexpr Layout kFamily{"family reply", kFamilyFields};
constexpr Field kTdTwoBlockFields[] = {
    hex("block1", 8),
    hex("block2", 8),
    u32("value"),
    u8("tail"),
};
constexpr Layout kTdTwoBlock{"TD two-block reply", kTdTwoBlockFields};
constexpr Field kBatteryFields[] = {
    u16("value1"),
    u8("value2"),
};
constexpr Layout kBattery{"battery reply", kBatteryFields};

}  // namespace

namespace reply_layout {
const Layout& value() { return kValue; }
const Layout& two_block() { return kTwoBlock; }
const Layout& one_value() { return kOneValue; }
const Layout& family() { return kFamily; }
const Layout& td_two_block() { return kTdTwoBlock; }
const Layout& battery() { return kBattery; }
}  // namespace reply_layout

ReplyPlan reply_plan(std::uint16_t c) {
  ReplyPlan plan;
  switch (c) {
    case code::kSetWScanMode:
    case code::kStopScan:
    case code::kSetSignedValue:
    case code::kSetTwoValues:
    case code::kSetTdScanMode:
    case code::kStartTdScan:
    case code::kStopTdScan:
    case code::kSetGpsInfoFormat:
      plan.value_code = static_cast<std::uint16_t>(c + 2);
      break;
    case code::kStartScan:
    case code::kGetScanMode:
    case code::kCommand22:
    case code::kGetTdScanMode:
    case code::kQueryBattery:
      plan.data_code = static_cast<std::uint16_t>(c + 1);
      plan.value_code = static_cast<std::uint16_t>(c + 2);
      break;
    case code::kGetVersion:
    case code::kLogin:
    case code::kGetTdVersion:
      plan.data_code = static_cast<std::uint16_t>(c + 1);
      break;
    default:
      break;
  }
  return plan;
}

std::string_view reply_name(std::uint16_t c) {
  switch (c) {
    case 3:
      return "SetWScanModeResult";
    case 5:
      return "StartScanReply";
    case 6:
      return "StartScanResult";
    case 9:
      return "StopScanResult";
    case 11:
      return "ScanModeReply";
    case 12:
      return "GetScanModeResult";
    case 21:
      return "VersionReply";
    case 23:
      return "Command22Reply";
    case 24:
      return "Command22Result";
    case 44:
      return "FamilyReply";
    case 89:
      return "SetSignedValueResult";
    case 99:
      return "SetTwoValuesResult";
    case 0xF003:
      return "SetTDScanModeResult";
    case 0xF006:
      return "StartTDScanResult";
    case 0xF009:
      return "StopTDScanResult";
    case 0xF00B:
      return "TDScanModeReply";
    case 0xF00C:
      return "GetTDScanModeResult";
    case 0xF015:
      return "TDVersionReply";
    case 0xF031:
      return "BatteryReply";
    case 0xF032:
      return "QueryBatteryResult";
    case 0xF042:
      return "SetGpsInfoFormatResult";
    default:
      return {};
  }
}

}  // namespace scanlink::sim
