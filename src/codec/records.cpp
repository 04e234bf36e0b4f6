// The two message records and the codec operations they carry.
#include "scanlink/records.h"

#include <algorithm>
#include <cstring>

#include "codec/codec.h"

CCmdManage::CCmdManage() : nCode(0), nTransID(0), nLength(0) { std::memset(&body, 0, sizeof body); }

CCmdManage::~CCmdManage() = default;

int CCmdManage::EncodeCommand(unsigned char* frame, size_t capacity) const {
  return static_cast<int>(scanlink::codec::encode_command(*this, frame, capacity));
}

// DecodeMessage decodes with the first session's settings: client/first_session.cpp.

// The length is kept as given, even above the buffer: the send path refuses such a message.
CMyPcCommMessage::CMyPcCommMessage(uint16_t code, uint16_t length, uint16_t transID,
                                   const void* source)
    : nCode(code), nLength(length), nTransID(transID) {
  std::memset(payload, 0, sizeof payload);
  const size_t copied = std::min<size_t>(length, sizeof payload);
  if (source != nullptr && copied != 0) std::memcpy(payload, source, copied);
}

CMyPcCommMessage::~CMyPcCommMessage() = default;
