// The message codes and their names, stated once: the command line and the dissector name codes
// from this table (a test holds the dissector's Lua table against it). Header-only and free of the
// library's state, so tools include it as it is.
#pragma once

#include <cstdint>

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
    {5, "StartScanData", MessageKind::kReply},
    {6, "StartScanResult", MessageKind::kReply},
    {7, "StopScan", MessageKind::kCommand},
    {9, "StopScanResult", MessageKind::kReply},
    {10, "GetScanMode", MessageKind::kCommand},
    {11, "WScanMode", MessageKind::kReply},
    {12, "GetScanModeResult", MessageKind::kReply},
    {18, "Reset", MessageKind::kCommand},
    {20, "GetVersion", MessageKind::kCommand},
    {21, "Version", MessageKind::kReply},
    {22, "Command22", MessageKind::kCommand},
    {23, "Command22Data", MessageKind::kReply},
    {24, "Command22Result", MessageKind::kReply},
    {25, "OneValue", MessageKind::kReply},
    {36, "ValueList", MessageKind::kReport},
    {37, "Status", MessageKind::kReport},
    {38, "ShortValueList", MessageKind::kReport},
    {40, "CellListReport", MessageKind::kReport},
    {41, "CellReport", MessageKind::kReport},
    {43, "Login", MessageKind::kCommand},
    {44, "LoginReply", MessageKind::kReply},
    {46, "ChangePassword", MessageKind::kCommand},
    {51, "ThreeValues", MessageKind::kReply},
    {73, "Sweep", MessageKind::kReport},
    {81, "SetIPAddress", MessageKind::kCommand},
    {84, "SetMACAddress", MessageKind::kCommand},
    {87, "Command87", MessageKind::kCommand},
    {89, "Command87Result", MessageKind::kReply},
    {97, "Command97", MessageKind::kCommand},
    {99, "Command97Result", MessageKind::kReply},
    {113, "Command113", MessageKind::kCommand},
    {257, "CellReport2", MessageKind::kReport},
    {259, "CellReport3", MessageKind::kReport},
    {0xF001, "SetTDScanMode", MessageKind::kCommand},
    {0xF003, "SetTDScanModeResult", MessageKind::kReply},
    {0xF004, "StartTDScan", MessageKind::kCommand},
    {0xF006, "StartTDScanResult", MessageKind::kReply},
    {0xF007, "StopTDScan", MessageKind::kCommand},
    {0xF009, "StopTDScanResult", MessageKind::kReply},
    {0xF00A, "GetTDScanMode", MessageKind::kCommand},
    {0xF00B, "TDScanMode", MessageKind::kReply},
    {0xF00C, "GetTDScanModeResult", MessageKind::kReply},
    {0xF012, "TDReset", MessageKind::kCommand},
    {0xF014, "GetTDVersion", MessageKind::kCommand},
    {0xF015, "TDVersion", MessageKind::kReply},
    {0xF025, "TDCellReport", MessageKind::kReport},
    {0xF026, "TDSweep", MessageKind::kReport},
    {0xF027, "TDValueList", MessageKind::kReport},
    {0xF028, "TDStatus", MessageKind::kReport},
    {0xF02A, "GpsText", MessageKind::kReply},
    {0xF02B, "GpsTextResult", MessageKind::kReply},
    {0xF030, "QueryBattery", MessageKind::kCommand},
    {0xF031, "Battery", MessageKind::kReply},
    {0xF032, "QueryBatteryResult", MessageKind::kReply},
    {0xF040, "SetGpsInfoFormat", MessageKind::kCommand},
    {0xF042, "SetGpsInfoFormatResult", MessageKind::kReply},
    {0xF100, "TDProfile", MessageKind::kReport},
    {0xF102, "TDShortProfile", MessageKind::kReport},
    {0xFFEE, "LinkStatus", MessageKind::kLink},
};

// The entry of a code, or nullptr for a code not in the table.
constexpr const MessageCode* FindMessageCode(uint16_t code) {
  for (const MessageCode& entry : kMessageCodes) {
    if (entry.code == code) return &entry;
  }
  return nullptr;
}

}  // namespace scanlink::codec
