// All library-wide state in one owned place: the library lock, the pools, the message queue,
// the alarm module, the link-lost flag, the engine pointer and the counters.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/sync.h"
#include "scanlink/scanlink.h"
#include "transport/pools.h"

namespace scanlink::transport {

class CMyPcCommSocket;

struct Counters {
  std::atomic<uint64_t> framesReceived{0};
  std::atomic<uint64_t> bytesReceived{0};
  std::atomic<uint64_t> framesDelivered{0};
  std::atomic<uint64_t> droppedSync{0};
  std::atomic<uint64_t> droppedLength{0};
  std::atomic<uint64_t> droppedNoModule{0};
  std::atomic<uint64_t> droppedTransaction{0};
  std::atomic<uint64_t> bytesSkipped{0};
  std::atomic<uint64_t> framesOversized{0};
  std::atomic<uint64_t> sends{0};
  std::atomic<uint64_t> sendsFailed{0};
  std::atomic<uint64_t> linkLosses{0};
  std::atomic<uint64_t> reconnections{0};
  std::atomic<uint64_t> transactionsReclaimed{0};
  std::atomic<uint64_t> queueHighWater{0};

  static void Add(std::atomic<uint64_t>& c, uint64_t n = 1) {
    c.fetch_add(n, std::memory_order_relaxed);
  }
};

struct LibraryState {
  // The one re-entrant library lock: pools, queue, module list, socket writes.
  platform::RecursiveMutex lock;
  // Rung after a frame is queued and when Msg proc threads must stop.
  platform::Doorbell msgBell;

  ObjectTable objects;
  TransInfoTable trans;
  RecvBufferPool buffers;
  MsgQueue msgQ;

  CMyPcCommInterface* alarmModule = nullptr;      // guarded by lock
  std::atomic<int> linkLost{0};                   // gLinkLostFlag
  std::atomic<CMyPcCommSocket*> engine{nullptr};  // gMyPcCommSocket

  Counters counters;
};

LibraryState& Library();

// Exported ints are plain ints for the application; the library's threads reach them atomically.
inline int LoadGlobal(int& g) { return std::atomic_ref<int>(g).load(std::memory_order_acquire); }
inline void StoreGlobal(int& g, int v) {
  std::atomic_ref<int>(g).store(v, std::memory_order_release);
}

}  // namespace scanlink::transport
