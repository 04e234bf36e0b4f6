#include "client/sequence.h"

#include "client/first_session.h"

namespace scanlink::client {

uint16_t NextSequence(std::atomic<uint16_t>& sequence) {
  uint16_t current = sequence.load(std::memory_order_relaxed);
  uint16_t next;
  do {
    next = static_cast<uint16_t>(current + 1);
    if (next == 0xFFFF) next = 5;
  } while (!sequence.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return next;
}

uint16_t NextSequence() { return NextSequence(FirstState().sequence); }

void SetSequence(uint16_t current) {
  FirstState().sequence.store(current, std::memory_order_relaxed);
}

}  // namespace scanlink::client
