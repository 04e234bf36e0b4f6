// The command sequence number: 6, 7, ... 0xFFFE, then 5 again. It travels in each command
// record but never reaches the wire.
#pragma once

#include <cstdint>

namespace scanlink::client {

uint16_t NextSequence();
// For tests: where the next call continues from.
void SetSequence(uint16_t current);

}  // namespace scanlink::client
