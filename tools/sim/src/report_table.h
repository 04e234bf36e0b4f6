// Frames the scanner sends on its own (transaction id 0xFFFF): measurement reports and status.
#pragma once

#include <cstdint>
#include <string_view>

#include "layout.h"

namespace scanlink::sim {

namespace report_code {
inline constexpr std::uint16_t kValueList = 36;
inline constexpr std::uint16_t kStatus = 37;
inline constexpr std::uint16_t kShortValueList = 38;
inline constexpr std::uint16_t kCellRecords = 40;
inline constexpr std::uint16_t kCellRecords41 = 41;
inline constexpr std::uint16_t kCellRecords257 = 257;
inline constexpr std::uint16_t kCellRecords259 = 259;
inline constexpr std::uint16_t kSweep = 73;
inline constexpr std::uint16_t kTdCells = 0xF025;
inline constexpr std::uint16_t kTdSweep = 0xF026;
inline constexpr std::uint16_t kTdValueList = 0xF027;
inline constexpr std::uint16_t kTdStatus = 0xF028;
inline constexpr std::uint16_t kTdProfile = 0xF100;
inline constexpr std::uint16_t kTdShortProfile = 0xF102;
}  // namespace report_code

inline constexpr std::uint16_t kUnsolicitedTrans = 0xFFFF;
inline constexpr std::size_t kGpsTextSize = 119;

// Layout of a report code; TD cell records carry finger fields when finger is set. nullptr if
// unknown.
const Layout* report_layout(std::uint16_t code, bool finger = false);

std::string_view report_name(std::uint16_t code);

}  // namespace scanlink::sim
