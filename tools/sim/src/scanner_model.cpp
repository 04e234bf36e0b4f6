#include "scanner_model.h"

#include <algorithm>
#include <cstring>

#include "hex.h"
#include "reply_table.h"

namespace scanlink::sim {
namespace {

constexpr std::uint8_t kDefaultTdMode = 1;  // an unconfigured TD scanner reports an empty cell list

Json text_block(std::string_view text, std::size_t size) {
  Bytes b(size, 0);
  std::memcpy(b.data(), text.data(), std::min(size, text.size()));
  return to_hex(b);
}

std::uint8_t mode_of(const Json& fields) { return fields.value("mode", std::uint8_t{0}); }

}  // namespace

ScannerModel::ScannerModel(std::uint32_t family_value, ReplyOrder order)
    : family_value_(family_value), order_(order) {}

Family ScannerModel::native_family() const {
  return family_value_ == 21 || family_value_ == 22 ? Family::kTd : Family::kWcdma;
}

void ScannerModel::start(Family family) {
  scanning_ = true;
  scan_family_ = family;
}

ScanPlan ScannerModel::plan() const {
  ScanPlan p;
  p.family = scan_family_;
  const std::optional<Json>& remembered = scan_family_ == Family::kTd ? td_mode_ : wcdma_mode_;
  if (remembered) {
    p.mode = mode_of(*remembered);
    p.fields = *remembered;
  }
  p.finger = finger_;
  return p;
}

Bytes ScannerModel::wcdma_scan_mode_echo() const {
  if (!wcdma_mode_) return encode(wcdma_scan_mode_layout(0), Json::object());
  return encode(wcdma_scan_mode_layout(mode_of(*wcdma_mode_)), *wcdma_mode_);
}

Bytes ScannerModel::td_scan_mode_echo() const {
  if (!td_mode_) return encode(td_scan_mode_layout(kDefaultTdMode), Json{{"mode", kDefaultTdMode}});
  return encode(td_scan_mode_layout(mode_of(*td_mode_)), *td_mode_);
}

std::vector<Reply> ScannerModel::on_command(std::uint16_t c, ByteView payload,
                                            const DecodedCommand& decoded) {
  switch (c) {
    case code::kSetWScanMode:
      if (!payload.empty()) wcdma_mode_ = decoded.fields;
      break;
    case code::kSetTdScanMode:
      if (!payload.empty()) {
        td_mode_ = decoded.fields;
        // Only the list and search modes carry the receiver's finger setting; the others send 0
        // there without changing it.
        std::uint8_t mode = payload[0];
        if (mode == 1 || mode == 2 || mode == 4)
          finger_ = decoded.fields.value("fingerTest", 0) == 1;
      }
      break;
    case code::kStartScan:
      start(Family::kWcdma);
      break;
    case code::kStartTdScan:
      start(Family::kTd);
      break;
    case code::kStopScan:
    case code::kStopTdScan:
    case code::kReset:
    case code::kResetTd:
      stop();
      break;
    default:
      break;
  }

  ReplyPlan plan = reply_plan(c);
  std::optional<Reply> data;
  if (plan.data_code) {
    Reply r{*plan.data_code, {}};
    switch (c) {
      case code::kStartScan:
        r.payload = encode(reply_layout::two_block(), {{"block1", text_block("scan started", 16)}});
        break;
      case code::kGetScanMode:
        r.payload = wcdma_scan_mode_echo();
        break;
      case code::kGetVersion:
        r.payload = encode(reply_layout::two_block(), {{"block1", text_block("SIM SCANNER", 16)},
                                                       {"block2", text_block("1.0.0", 16)},
                                                       {"value", 0x00010000},
                                                       {"tail", 0}});
        break;
      case code::kCommand22:
        r.payload = encode(reply_layout::one_value(), {{"value", 0}});
        break;
      case code::kLogin:
        r.payload = encode(reply_layout::family(), {{"family", family_value_}});
        break;
      case code::kGetTdScanMode:
        r.payload = td_scan_mode_echo();
        break;
      case code::kGetTdVersion:
        r.payload = encode(reply_layout::td_two_block(), {{"block1", text_block("SIM TD", 8)},
                                                          {"block2", text_block("1.0.0", 8)},
                                                          {"value", 0x00010000},
                                                          {"tail", 0}});
        break;
      case code::kQueryBattery:
        r.payload = encode(reply_layout::battery(), {{"value1", 3900}, {"value2", 87}});
        break;
      default:
        break;
    }
    data = std::move(r);
  }

  std::vector<Reply> replies;
  std::optional<Reply> value;
  if (plan.value_code)
    value = Reply{*plan.value_code, encode(reply_layout::value(), {{"value", 0}})};
  if (order_ == ReplyOrder::kDataFirst) {
    if (data) replies.push_back(std::move(*data));
    if (value) replies.push_back(std::move(*value));
  } else {
    if (value) replies.push_back(std::move(*value));
    if (data) replies.push_back(std::move(*data));
  }
  return replies;
}

}  // namespace scanlink::sim
