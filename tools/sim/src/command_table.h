// Commands the scanner accepts: code, name and payload layout (chosen by the mode byte for scan
// modes).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "layout.h"

namespace scanlink::sim {

namespace code {
inline constexpr std::uint16_t kSetWScanMode = 1;
inline constexpr std::uint16_t kStartScan = 4;
inline constexpr std::uint16_t kStopScan = 7;
inline constexpr std::uint16_t kGetScanMode = 10;
inline constexpr std::uint16_t kReset = 18;
inline constexpr std::uint16_t kGetVersion = 20;
inline constexpr std::uint16_t kCommand22 = 22;
inline constexpr std::uint16_t kLogin = 43;
inline constexpr std::uint16_t kChangePassword = 46;
inline constexpr std::uint16_t kSetIpAddress = 81;
inline constexpr std::uint16_t kSetMacAddress = 84;
inline constexpr std::uint16_t kSetSignedValue = 87;
inline constexpr std::uint16_t kSetTwoValues = 97;
inline constexpr std::uint16_t kCommand113 = 113;
inline constexpr std::uint16_t kSetTdScanMode = 0xF001;
inline constexpr std::uint16_t kStartTdScan = 0xF004;
inline constexpr std::uint16_t kStopTdScan = 0xF007;
inline constexpr std::uint16_t kGetTdScanMode = 0xF00A;
inline constexpr std::uint16_t kResetTd = 0xF012;
inline constexpr std::uint16_t kGetTdVersion = 0xF014;
inline constexpr std::uint16_t kQueryBattery = 0xF030;
inline constexpr std::uint16_t kSetGpsInfoFormat = 0xF040;
}  // namespace code

// A command frame is built in 1024 bytes, header included.
inline constexpr std::size_t kMaxCommandPayload = 1024 - 8;

struct DecodedCommand {
  std::string name;       // "Login", "SetTDScanMode", "Unknown", ...
  std::string mode_name;  // scan-mode commands only: "cell list", "general", ...
  Json fields = Json::object();
  std::vector<std::string> problems;
};

std::string_view command_name(std::uint16_t code);

// Layout of a WCDMA (code 1) or TD (0xF001) scan-mode body for a mode byte. Every TD mode without
// fields of its own gets the bare TD header, which is also what a scan-mode reply carries for it.
// A TD scan-mode command in any other mode carries no payload at all, not even the TD header.
bool td_mode_has_fields(std::uint8_t mode);
const Layout& wcdma_scan_mode_layout(std::uint8_t mode);
const Layout& td_scan_mode_layout(std::uint8_t mode);
std::string_view wcdma_mode_name(std::uint8_t mode);
std::string_view td_mode_name(std::uint8_t mode);

// The layout a command payload is read with; nullptr for commands that carry no body.
const Layout* command_layout(std::uint16_t code, ByteView payload);

// Decodes a command and lists in `problems` whatever no sender may put on the wire: a payload
// that does not fit its layout or a command frame, an empty WCDMA scan mode, a TD header for a TD
// mode without fields, a flag byte other than 0 or 1.
DecodedCommand decode_command(std::uint16_t code, ByteView payload);

}  // namespace scanlink::sim
