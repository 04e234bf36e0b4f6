// The pcapng blocks a recording is made of, written little-endian.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace scanlink::capture::pcapng {

constexpr uint32_t kSectionHeader = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescription = 1;
constexpr uint32_t kSimplePacket = 3;
constexpr uint32_t kEnhancedPacket = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

constexpr uint16_t kOptComment = 1;
constexpr uint16_t kShbUserAppl = 4;
constexpr uint16_t kIfTsresol = 9;
constexpr uint16_t kIfTsoffset = 14;
constexpr uint16_t kEpbFlags = 2;
constexpr uint32_t kFlagInbound = 1;
constexpr uint32_t kFlagOutbound = 2;

class BlockWriter {
 public:
  explicit BlockWriter(uint32_t type) { U32(type).U32(0); }
  BlockWriter& U16(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v));
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
    return *this;
  }
  BlockWriter& U32(uint32_t v) { return U16(static_cast<uint16_t>(v)).U16(v >> 16); }
  BlockWriter& Bytes(const uint8_t* data, size_t n) {
    bytes_.insert(bytes_.end(), data, data + n);
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
    return *this;
  }
  BlockWriter& Option(uint16_t code, const void* data, size_t n) {
    U16(code).U16(static_cast<uint16_t>(n));
    return Bytes(static_cast<const uint8_t*>(data), n);
  }
  BlockWriter& Option(uint16_t code, const std::string& text) {
    return Option(code, text.data(), text.size());
  }
  BlockWriter& EndOfOptions() { return U16(0).U16(0); }
  // The block with both length fields filled in.
  const std::vector<uint8_t>& Finish() {
    U32(0);
    const uint32_t total = static_cast<uint32_t>(bytes_.size());
    for (int i = 0; i < 4; ++i) {
      bytes_[4 + i] = static_cast<uint8_t>(total >> (8 * i));
      bytes_[total - 4 + i] = static_cast<uint8_t>(total >> (8 * i));
    }
    return bytes_;
  }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace scanlink::capture::pcapng
