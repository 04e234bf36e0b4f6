// Test-side frame builder: the 8-byte header (sync, module id, code, transaction id, payload
// length; big-endian), then the payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace scanlink::transport::test {

using Bytes = std::vector<uint8_t>;

inline Bytes Frame(uint8_t module, uint16_t code, uint16_t trans, const Bytes& payload = {}) {
  const size_t n = payload.size();
  Bytes f(8 + n);
  f[0] = 0x55;
  f[1] = module;
  f[2] = static_cast<uint8_t>(code >> 8);
  f[3] = static_cast<uint8_t>(code);
  f[4] = static_cast<uint8_t>(trans >> 8);
  f[5] = static_cast<uint8_t>(trans);
  f[6] = static_cast<uint8_t>(n >> 8);
  f[7] = static_cast<uint8_t>(n);
  for (size_t i = 0; i < n; ++i) f[8 + i] = payload[i];
  return f;
}

inline Bytes U16(uint16_t v) { return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)}; }

inline Bytes U32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

}  // namespace scanlink::transport::test
