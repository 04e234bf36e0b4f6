// The message codes and their names, stated once: the command line and the dissector name codes
// from this table (a test holds the dissector's Lua table against it). Header-only and free of the
// library's state, so tools include it as it is.
#pragma once

#include <cstdint>
#include <string_view>

#include "codec/frame_header.h"

namespace scanlink::codec {

// What a code is on the wire: a request to the scanner, its answer (a data reply or a result), a
// report the scanner sends on its own, or the library's own link status notice.
enum class MessageKind : uint8_t { kCommand, kReply, kReport, kLink };

struct MessageCode {
  uint16_t code;
  const char* name;
  MessageKind kind;
};

inline constexpr MessageCode kMessageCodes[] = {
    {1, "SetWScanMode", MessageKind::kCommand},
    {3, "SetWScanModeResult", MessageKind::kReply},
    {4, "StartScan", MessageKind::kCommand},
    {5, "StartScanReply", MessageKind::kReply},
    {6, "StartScanResult", MessageKind::kReply},
    {7, "StopScan", MessageKind::kCommand},
    {9, "StopScanResult", MessageKind::kReply},
    {10, "GetScanMode", MessageKind::kCommand},
    {11, "ScanModeReply", MessageKind::kReply},
    {12, "GetScanModeResult", MessageKind::kReply},
    {18, "ResetScanner", MessageKind::kCommand},
    {20, "GetVersion", MessageKind::kCommand},
    {21, "VersionReply", MessageKind::kReply},
    {22, "Command22", MessageKind::kCommand},
    {23, "Command22Reply", MessageKind::kReply},
    {24, "Command22Result", MessageKind::kReply},
    {25, "OneValueReply", MessageKind::kReply},
    {36, "ValueListReport", MessageKind::kReport},
    {37, "StatusReport", MessageKind::kReport},
    {38, "ShortValueListReport", MessageKind::kReport},
    {40, "CellRecordReport", MessageKind::kReport},
    {41, "CellRecordReport", MessageKind::kReport},
    {43, "Login", MessageKind::kCommand},
    {44, "FamilyReply", MessageKind::kReply},
    {46, "ChangePassword", MessageKind::kCommand},
    {51, "ThreeValueReply", MessageKind::kReply},
    {73, "SweepReport", MessageKind::kReport},
    {81, "SetIPAddress", MessageKind::kCommand},
    {84, "SetMACAddress", MessageKind::kCommand},
    {87, "SetSignedValue", MessageKind::kCommand},
    {89, "SetSignedValueResult", MessageKind::kReply},
    {97, "SetTwoValues", MessageKind::kCommand},
    {99, "SetTwoValuesResult", MessageKind::kReply},
    {113, "Command113", MessageKind::kCommand},
    {257, "CellRecordReport", MessageKind::kReport},
    {259, "CellRecordReport", MessageKind::kReport},
    {0xF001, "SetTDScanMode", MessageKind::kCommand},
    {0xF003, "SetTDScanModeResult", MessageKind::kReply},
    {0xF004, "StartTDScan", MessageKind::kCommand},
    {0xF006, "StartTDScanResult", MessageKind::kReply},
    {0xF007, "StopTDScan", MessageKind::kCommand},
    {0xF009, "StopTDScanResult", MessageKind::kReply},
    {0xF00A, "GetTDScanMode", MessageKind::kCommand},
    {0xF00B, "TDScanModeReply", MessageKind::kReply},
    {0xF00C, "GetTDScanModeResult", MessageKind::kReply},
    {0xF012, "ResetTDScanner", MessageKind::kCommand},
    {0xF014, "GetTDVersion", MessageKind::kCommand},
    {0xF015, "TDVersionReply", MessageKind::kReply},
    {0xF025, "TDCellReport", MessageKind::kReport},
    {0xF026, "TDSweepReport", MessageKind::kReport},
    {0xF027, "TDValueListReport", MessageKind::kReport},
    {0xF028, "TDStatusReport", MessageKind::kReport},
    {0xF02A, "GpsTextReply", MessageKind::kReply},
    {0xF02B, "GpsTextResult", MessageKind::kReply},
    {0xF030, "QueryBattery", MessageKind::kCommand},
    {0xF031, "BatteryReply", MessageKind::kReply},
    {0xF032, "QueryBatteryResult", MessageKind::kReply},
    {0xF040, "SetGpsInfoFormat", MessageKind::kCommand},
    {0xF042, "SetGpsInfoFormatResult", MessageKind::kReply},
    {0xF100, "TDProfileReport", MessageKind::kReport},
    {0xF102, "TDShortProfileReport", MessageKind::kReport},
    {kLinkStatusCode, "LinkStatusNotice", MessageKind::kLink},
};

// The entry of a code, or nullptr for a code not in the table.
constexpr const MessageCode* FindMessageCode(uint16_t code) {
  for (const MessageCode& entry : kMessageCodes) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

// The code of a name in the table, for code that acts on one message itself; 0 for a name not in
// the table (a constant initialised from it then fails to compile where it is checked).
constexpr uint16_t MessageCodeNamed(std::string_view name) {
  for (const MessageCode& entry : kMessageCodes) {
    if (name == entry.name) return entry.code;
  }
  return 0;
}

// Replies and status reports whose body is one 16-bit value (0 = success).
constexpr bool IsValueReply(uint16_t code) {
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

}  // namespace scanlink::codec
