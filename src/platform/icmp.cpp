// How the reachability probe judges what came back, the same on every system.
#include "platform/socket.h"

namespace scanlink::platform {

bool IsEchoReply(const uint8_t* data, size_t size, bool withIpHeader) {
  if (data == nullptr) return false;
  if (withIpHeader) {
    if (size < 1) return false;
    const size_t ihl = static_cast<size_t>(data[0] & 0x0F) * 4;
    if (ihl < 20 || size < ihl + 8) return false;
    data += ihl;
    size -= ihl;
  }
  return size >= 8 && data[0] == 0 /* echo reply */;
}

bool IsEchoServiceReply(uint32_t status, uint32_t fromNetOrder, uint32_t destNetOrder) {
  return status == 0 /* success: an echo reply */ && fromNetOrder == destNetOrder;
}

}  // namespace scanlink::platform
