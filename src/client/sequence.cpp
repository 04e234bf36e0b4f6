#include "client/sequence.h"

#include <atomic>

namespace scanlink::client {
namespace {

std::atomic<uint16_t> g_sequence{5};

}  // namespace

uint16_t NextSequence() {
  uint16_t current = g_sequence.load(std::memory_order_relaxed);
  uint16_t next;
  do {
    next = static_cast<uint16_t>(current + 1);
    if (next == 0xFFFF) next = 5;
  } while (!g_sequence.compare_exchange_weak(current, next, std::memory_order_relaxed));
  return next;
}

void SetSequence(uint16_t current) { g_sequence.store(current, std::memory_order_relaxed); }

}  // namespace scanlink::client
