#include "code_names.h"

#include <scanlink/scanlink.h>

#include <cstdio>

namespace scanlink::cli {
namespace {

struct Entry {
  uint16_t code;
  const char* name;
};

constexpr Entry kNames[] = {
    {1, "SetWScanMode"},
    {3, "SetWScanModeResult"},
    {4, "StartScan"},
    {5, "StartScanData"},
    {6, "StartScanResult"},
    {7, "StopScan"},
    {9, "StopScanResult"},
    {10, "GetScanMode"},
    {11, "WScanMode"},
    {12, "GetScanModeResult"},
    {18, "Reset"},
    {20, "GetVersion"},
    {21, "Version"},
    {22, "Command22"},
    {23, "Command22Data"},
    {24, "Command22Result"},
    {25, "OneValue"},
    {36, "ValueList"},
    {37, "Status"},
    {38, "ShortValueList"},
    {40, "CellListReport"},
    {41, "CellReport"},
    {43, "Login"},
    {44, "LoginReply"},
    {46, "ChangePassword"},
    {51, "ThreeValues"},
    {73, "Sweep"},
    {81, "SetIPAddress"},
    {84, "SetMACAddress"},
    {87, "Command87"},
    {89, "Command87Result"},
    {97, "Command97"},
    {99, "Command97Result"},
    {257, "CellReport2"},
    {259, "CellReport3"},
    {0xF001, "SetTDScanMode"},
    {0xF003, "SetTDScanModeResult"},
    {0xF004, "StartTDScan"},
    {0xF006, "StartTDScanResult"},
    {0xF007, "StopTDScan"},
    {0xF009, "StopTDScanResult"},
    {0xF00A, "GetTDScanMode"},
    {0xF00B, "TDScanMode"},
    {0xF00C, "GetTDScanModeResult"},
    {0xF012, "TDReset"},
    {0xF014, "GetTDVersion"},
    {0xF015, "TDVersion"},
    {0xF025, "TDCellReport"},
    {0xF026, "TDSweep"},
    {0xF027, "TDValueList"},
    {0xF028, "TDStatus"},
    {0xF02A, "GpsText"},
    {0xF02B, "GpsTextResult"},
    {0xF030, "QueryBattery"},
    {0xF031, "Battery"},
    {0xF032, "QueryBatteryResult"},
    {0xF040, "SetGpsInfoFormat"},
    {0xF042, "SetGpsInfoFormatResult"},
    {0xF100, "TDProfile"},
    {0xF102, "TDShortProfile"},
    {SCANLINK_CODE_LINK_STATUS, "LinkStatus"},
};

bool IsCommand(uint16_t code) {
  switch (code) {
    case 1:
    case 4:
    case 7:
    case 10:
    case 18:
    case 20:
    case 22:
    case 43:
    case 46:
    case 81:
    case 84:
    case 87:
    case 97:
    case 0xF001:
    case 0xF004:
    case 0xF007:
    case 0xF00A:
    case 0xF012:
    case 0xF014:
    case 0xF030:
    case 0xF040:
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string CodeName(uint16_t code) {
  for (const Entry& e : kNames)
    if (e.code == code) return e.name;
  return "Code" + Hex16(code);
}

CodeKind KindOf(uint16_t code, uint16_t transId) {
  if (code == SCANLINK_CODE_LINK_STATUS) return CodeKind::kLink;
  if (transId == SCANLINK_TRANS_BROADCAST) return CodeKind::kReport;
  if (IsCommand(code)) return CodeKind::kCommand;
  return CodeKind::kReply;
}

const char* KindName(CodeKind kind) {
  switch (kind) {
    case CodeKind::kCommand:
      return "command";
    case CodeKind::kReply:
      return "reply";
    case CodeKind::kReport:
      return "report";
    case CodeKind::kLink:
      return "link";
    case CodeKind::kUnknown:
      break;
  }
  return "unknown";
}

bool IsValueReply(uint16_t code) {
  switch (code) {
    case 3:
    case 6:
    case 9:
    case 12:
    case 24:
    case 37:
    case 89:
    case 99:
    case 0xF003:
    case 0xF006:
    case 0xF009:
    case 0xF00C:
    case 0xF02B:
    case 0xF032:
    case 0xF042:
      return true;
    default:
      return false;
  }
}

std::string Hex16(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04X", value);
  return text;
}

}  // namespace scanlink::cli
