// Big-endian byte helpers and the byte-vector type used throughout the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace scanlink::sim {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline void put_u8(Bytes& out, std::uint64_t v) { out.push_back(static_cast<std::uint8_t>(v)); }

inline void put_u16(Bytes& out, std::uint64_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

inline void put_u32(Bytes& out, std::uint64_t v) {
  put_u16(out, v >> 16);
  put_u16(out, v);
}

inline std::uint16_t get_u16(ByteView b, std::size_t off) {
  return static_cast<std::uint16_t>((b[off] << 8) | b[off + 1]);
}

inline std::uint32_t get_u32(ByteView b, std::size_t off) {
  return (static_cast<std::uint32_t>(get_u16(b, off)) << 16) | get_u16(b, off + 2);
}

}  // namespace scanlink::sim
