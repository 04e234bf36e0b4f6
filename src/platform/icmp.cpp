// How the reachability probe builds its request and judges what came back, the same on every
// system.
#include "platform/icmp.h"

#include <cstring>

namespace scanlink::platform {

uint16_t IcmpChecksum(const uint8_t* data, size_t size) {
  uint32_t sum = 0;
  size_t i = 0;
  for (; i + 1 < size; i += 2) {
    uint16_t word;
    std::memcpy(&word, data + i, 2);  // machine byte order
    sum += word;
  }
  if (i < size) sum += data[i];
  sum = (sum >> 16) + (sum & 0xFFFF);
  sum += sum >> 16;
  return static_cast<uint16_t>(~sum);
}

void BuildEchoRequest(uint8_t* packet, uint16_t processId, uint16_t sequence, uint32_t tick) {
  std::memset(packet, 0, kEchoRequestSize);
  packet[0] = 8;  // echo request
  packet[1] = 0;
  packet[6] = static_cast<uint8_t>(processId);
  packet[7] = static_cast<uint8_t>(processId >> 8);
  packet[8] = static_cast<uint8_t>(sequence);
  packet[9] = static_cast<uint8_t>(sequence >> 8);
  for (int i = 0; i < 4; ++i) packet[12 + i] = static_cast<uint8_t>(tick >> (8 * i));
  std::memset(packet + 16, 0x45, kEchoRequestSize - 16);
  const uint16_t sum = IcmpChecksum(packet, kEchoRequestSize);
  std::memcpy(packet + 4, &sum, 2);  // stored as computed, in machine byte order
}

bool IsEchoReply(const uint8_t* data, size_t size, bool withIpHeader) {
  if (data == nullptr) return false;
  if (withIpHeader) {
    if (size < 1) return false;
    const size_t ihl = static_cast<size_t>(data[0] & 0x0F) * 4;
    if (ihl < 20 || size < ihl + kIcmpHeaderSize) return false;
    data += ihl;
    size -= ihl;
  }
  return size >= kIcmpHeaderSize && data[0] == 0 /* echo reply */;
}

bool IsEchoServiceReply(uint32_t status, uint32_t fromNetOrder, uint32_t destNetOrder) {
  return status == 0 /* success: an echo reply */ && fromNetOrder == destNetOrder;
}

}  // namespace scanlink::platform
