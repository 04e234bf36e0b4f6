// Test-side payload builder: fields appended big-endian, by hand, in the order of the layout
// tables, and a one-call decode of such a payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>

#include "codec/codec.h"

namespace scanlink::codec::test {

struct Bytes {
  std::vector<uint8_t> v;

  Bytes& u8(unsigned x) {
    v.push_back(static_cast<uint8_t>(x));
    return *this;
  }
  Bytes& u16(unsigned x) { return u8(x >> 8).u8(x); }
  Bytes& u32(uint32_t x) { return u16(x >> 16).u16(x & 0xFFFF); }
  Bytes& raw(std::initializer_list<uint8_t> bytes) {
    v.insert(v.end(), bytes);
    return *this;
  }
  Bytes& fill(size_t n, uint8_t byte = 0) {
    v.insert(v.end(), n, byte);
    return *this;
  }
  // Bytes first, first + 1, ... (n of them).
  Bytes& run(size_t n, uint8_t first) {
    for (size_t i = 0; i < n; ++i) u8(first + i);
    return *this;
  }
  // A text field of `width` bytes, zero-padded.
  Bytes& text(const char* s, size_t width) {
    const size_t n = strlen(s);
    for (size_t i = 0; i < width; ++i) u8(i < n ? static_cast<uint8_t>(s[i]) : 0);
    return *this;
  }
  // The measurement header: header byte and the 119-byte GPS text.
  Bytes& header(uint8_t byte, const char* gps = "") { return u8(byte).text(gps, 119); }
  size_t size() const { return v.size(); }
};

inline constexpr uint16_t kReport = 0xFFFF;

// Decodes `payload` as a frame with this code, transaction id and payload length would be
// (length defaults to the payload's size).
inline std::unique_ptr<CCmdManage> decode(uint16_t code, uint16_t trans, const Bytes& payload,
                                          DecodeEnv env = {}, int length = -1) {
  const auto len = static_cast<uint16_t>(length < 0 ? payload.size() : length);
  std::vector<uint8_t> source = payload.v;  // the message copies up to 2048 bytes of it
  if (source.size() < kMaxPayload) source.resize(kMaxPayload);
  auto message = std::make_unique<CMyPcCommMessage>(code, len, trans, source.data());
  auto record = std::make_unique<CCmdManage>();
  decode_message(*message, *record, env);
  return record;
}

}  // namespace scanlink::codec::test
