#include "codec/engine_messages.h"

#include "codec/message_codes.h"

namespace scanlink::codec {
namespace {

constexpr uint16_t kFamilyReply = MessageCodeNamed("FamilyReply");
static_assert(kFamilyReply != 0);

}  // namespace

std::optional<ScannerFamily> scanner_family(const CCmdManage& record) {
  if (record.nCode != kFamilyReply) return std::nullopt;
  switch (record.body.family.nFamilyValue) {
    case 11:
      return ScannerFamily{1, 1};
    case 12:
      return ScannerFamily{2, 1};
    case 21:
      return ScannerFamily{1, 2};
    case 22:
      return ScannerFamily{2, 2};
    default:
      return ScannerFamily{0, 0};
  }
}

std::array<uint8_t, kLinkStatusFrameSize> link_status_frame(uint8_t status) {
  std::array<uint8_t, kLinkStatusFrameSize> frame{};
  write_header(frame.data(), {kSync, 0, kLinkStatusCode, kBroadcastTrans, 2});
  frame[kHeaderSize + 1] = status;
  return frame;
}

}  // namespace scanlink::codec
