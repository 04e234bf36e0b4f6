// The message codec: command encoding and reply/report decoding. Table-shaped, free of I/O and
// of the transport; the only shared state it reads is what DecodeEnv hands it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/frame_header.h"
#include "scanlink/scanlink.h"

namespace scanlink::codec {

static_assert(kMaxPayload == CMyPcCommMessage::kMaxPayload &&
              kBroadcastTrans == SCANLINK_TRANS_BROADCAST &&
              kLinkStatusCode == SCANLINK_CODE_LINK_STATUS);

// The frame a command is encoded into: its payload limit is what the list operations allow.
inline constexpr size_t kCommandFrameSize = 1024;

// Payload length of the command, or 0 with ok=false when the record cannot be encoded within
// capacity - 8 payload bytes (a list count too large for the frame buffer, or above 255).
struct EncodedLength {
  size_t payload;
  bool ok;
};
EncodedLength command_payload_length(const CCmdManage& command, size_t capacity);

// Writes the whole frame that goes to the socket, header and payload, measuring the payload once;
// the header carries the command's own transaction id and a placeholder module id, both of which
// the send path replaces. Returns payload + 8, or 0 when the command does not fit capacity bytes
// (nothing is written then).
size_t encode_command(const CCmdManage& command, uint8_t* frame, size_t capacity);

class BaseStationTable;

// What the decoder reads besides the message: the finger flag for TD cell reports and the
// base-station table and limit of the GPS check (null table: no check).
struct DecodeEnv {
  int fingerTestFlag = 0;
  const BaseStationTable* stations = nullptr;
};

// Fills a freshly constructed (all-zero) record from a message. Never fails, never reads past
// the largest payload nor writes past the body.
void decode_message(const CMyPcCommMessage& message, CCmdManage& record, const DecodeEnv& env);

// The same from the payload bytes of a received frame, without building the message first:
// bytes past `length` read as zero, exactly as in a message's zeroed payload.
void decode_payload(uint16_t code, uint16_t transId, const uint8_t* payload, size_t length,
                    CCmdManage& record, const DecodeEnv& env);

}  // namespace scanlink::codec
