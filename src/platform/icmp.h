// The reachability probe's ICMP echo: the request the library sends and the judgement of what
// comes back, the same on every system and for every kind of probe socket.
#pragma once

#include <cstddef>
#include <cstdint>

namespace scanlink::platform {

// The ICMP header (type, code, checksum, identifier, sequence) before an echo's payload.
constexpr size_t kIcmpHeaderSize = 8;
// The probe's echo request: the header, the tick it was built at, then 32 bytes of 0x45.
constexpr size_t kEchoRequestSize = 48;

// The Internet checksum of size bytes, as it is stored: its two bytes in machine order.
uint16_t IcmpChecksum(const uint8_t* data, size_t size);
// Fills the kEchoRequestSize bytes of one probe exchange, checksum in bytes 4-5.
void BuildEchoRequest(uint8_t* packet, uint16_t processId, uint16_t sequence, uint32_t tick);

// True when an ICMP message read from a probe socket is an echo reply. withIpHeader: the bytes
// start with the IP header, as a raw socket delivers them.
bool IsEchoReply(const uint8_t* data, size_t size, bool withIpHeader);
// True when the echo service's answer (its status and the address it came from) is a reply
// from the destination.
bool IsEchoServiceReply(uint32_t status, uint32_t fromNetOrder, uint32_t destNetOrder);

}  // namespace scanlink::platform
