// What the scanner remembers between commands, and the replies a command gets.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "command_table.h"
#include "frame.h"

namespace scanlink::sim {

enum class Family { kWcdma, kTd };

// What a running scan measures: the last scan mode configured for the family being scanned.
struct ScanPlan {
  Family family = Family::kWcdma;
  std::optional<std::uint8_t> mode;  // none until a scan mode of that family was configured
  Json fields = Json::object();      // decoded fields of that scan-mode command
  bool finger = false;               // TD cell records carry finger fields
};

struct Reply {
  std::uint16_t code = 0;
  Bytes payload;
};

enum class ReplyOrder { kDataFirst, kValueFirst };

class ScannerModel {
 public:
  // family_value is what the login reply reports: 11 and 12 are WCDMA scanners, 21 and 22 TD ones.
  explicit ScannerModel(std::uint32_t family_value, ReplyOrder order = ReplyOrder::kDataFirst);

  // Applies a command and returns its replies, in sending order (empty for commands without
  // replies).
  std::vector<Reply> on_command(std::uint16_t code, ByteView payload,
                                const DecodedCommand& decoded);

  void start(Family family);
  void stop() { scanning_ = false; }
  bool scanning() const { return scanning_; }
  ScanPlan plan() const;

  std::uint32_t family_value() const { return family_value_; }
  void set_family_value(std::uint32_t v) { family_value_ = v; }
  Family native_family() const;

  // The scan-mode replies: the remembered scan mode in the command's own layout.
  Bytes wcdma_scan_mode_echo() const;
  Bytes td_scan_mode_echo() const;

 private:
  std::uint32_t family_value_;
  ReplyOrder order_;
  bool scanning_ = false;
  Family scan_family_ = Family::kWcdma;
  std::optional<Json> wcdma_mode_;  // decoded fields of the last code-1 command
  std::optional<Json> td_mode_;     // decoded fields of the last 0xF001 command
  bool finger_ = false;
};

}  // namespace scanlink::sim
