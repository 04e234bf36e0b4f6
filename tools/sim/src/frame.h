// The 8-byte frame header and a reassembler that cuts a byte stream into whole frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "bytes.h"

namespace scanlink::sim {

inline constexpr std::uint8_t kSync = 0x55;
inline constexpr std::size_t kHeaderSize = 8;

struct Frame {
  std::uint8_t module = 0;
  std::uint16_t code = 0;
  std::uint16_t trans = 0;
  Bytes payload;
};

// Header (sync, module, code, transaction id, payload length) followed by the payload. A payload
// longer than 65535 bytes cannot be framed; its length field keeps the low 16 bits.
Bytes encode_frame(const Frame& frame);

// Bytes in, whole frames out. Reads may end anywhere, even inside the header; bytes that cannot
// start a frame (no sync byte) are skipped and counted. No I/O, no lock.
class FrameAssembler {
 public:
  void feed(ByteView bytes);
  std::optional<Frame> next();

  // Bytes skipped while looking for a sync byte since the last call.
  std::size_t take_skipped();
  std::size_t buffered() const { return buffer_.size() - start_; }
  void clear();

 private:
  Bytes buffer_;
  std::size_t start_ = 0;
  std::size_t skipped_ = 0;
};

}  // namespace scanlink::sim
