// The command sequence number: 6, 7, ... 0xFFFE, then 5 again, one per session. It travels in
// each command record but never reaches the wire.
#pragma once

#include <atomic>
#include <cstdint>

namespace scanlink::client {

uint16_t NextSequence(std::atomic<uint16_t>& sequence);
// The first session's.
uint16_t NextSequence();
// For tests: where the first session's next call continues from.
void SetSequence(uint16_t current);

}  // namespace scanlink::client
