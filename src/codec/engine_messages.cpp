#include "codec/engine_messages.h"

namespace scanlink::codec {

std::optional<ScannerFamily> scanner_family(const CCmdManage& record) {
  if (record.nCode != codes::kFamilyReply) return std::nullopt;
  return FamilyOfValue(record.body.family.nFamilyValue);
}

std::array<uint8_t, kLinkStatusFrameSize> link_status_frame(uint8_t status) {
  std::array<uint8_t, kLinkStatusFrameSize> frame{};
  write_header(frame.data(), {kSync, 0, kLinkStatusCode, kBroadcastTrans, 2});
  frame[kHeaderSize + 1] = status;
  return frame;
}

}  // namespace scanlink::codec
