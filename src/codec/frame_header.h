// The frame header, the one place its layout and limits are written down. Every frame, either
// way, is an 8-byte big-endian header and its payload:
//
//   byte 0     sync (0x55)
//   byte 1     module id: the requesting module, echoed by its reply
//   bytes 2-3  message code
//   bytes 4-5  transaction id: a request's (1..1023), or 0xFFFF for a frame meant for every module
//   bytes 6-7  payload length, at most 2048
//
// Header-only and free of the library's headers, so tools include it as it is; codec.h holds it
// against the values the public header gives applications.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/bytes.h"

namespace scanlink::codec {

inline constexpr uint8_t kSync = 0x55;
inline constexpr size_t kHeaderSize = 8;
inline constexpr size_t kMaxPayload = 2048;
inline constexpr size_t kMaxFrame = kHeaderSize + kMaxPayload;
inline constexpr uint16_t kBroadcastTrans = 0xFFFF;
inline constexpr uint16_t kLinkStatusCode = 0xFFEE;  // the library's own link-status notice
// The ids the send path hands out to requests.
inline constexpr uint16_t kFirstRequestTrans = 1;
inline constexpr uint16_t kLastRequestTrans = 1023;

struct FrameHeader {
  uint8_t sync = kSync;
  uint8_t module = 0;
  uint16_t code = 0;
  uint16_t transId = 0;
  uint16_t length = 0;  // of the payload
};

// bytes holds at least kHeaderSize bytes.
inline FrameHeader read_header(const uint8_t* bytes) {
  return {bytes[0], bytes[1], get_u16be(bytes + 2), get_u16be(bytes + 4), get_u16be(bytes + 6)};
}

// out has room for kHeaderSize bytes.
inline void write_header(uint8_t* out, const FrameHeader& header) {
  out[0] = header.sync;
  out[1] = header.module;
  put_u16be(out + 2, header.code);
  put_u16be(out + 4, header.transId);
  put_u16be(out + 6, header.length);
}

// The whole frame's length the header announces.
inline size_t frame_length(const FrameHeader& header) { return kHeaderSize + header.length; }

// A transaction id the scanner can send: a request's, or the one meant for every module.
inline bool plausible_trans_id(uint16_t transId) {
  return (transId >= kFirstRequestTrans && transId <= kLastRequestTrans) ||
         transId == kBroadcastTrans;
}

}  // namespace scanlink::codec
