// One session's state in one owned place: its lock, pools, message queue, alarm module,
// link-lost flag, engine pointer, counters, station list, sequence number, the values the
// application sees and, for the first session, its next engine's timings. Library() is the
// process's first session, the one of the original classes and exported variables; every other
// session owns its own.
#pragma once

#include <atomic>
#include <cstdint>

#include "codec/gps_check.h"
#include "platform/sync.h"
#include "scanlink/scanlink.h"
#include "transport/counter_list.h"
#include "transport/pools.h"
#include "transport/session_diag.h"
#include "transport/timings.h"

namespace scanlink::transport {

class CMyPcCommSocket;

struct Counters {
#define SCANLINK_COUNTER_FIELD(name, cName) std::atomic<uint64_t> name{0};
  SCANLINK_COUNTERS(SCANLINK_COUNTER_FIELD)
#undef SCANLINK_COUNTER_FIELD

  static void Add(std::atomic<uint64_t>& c, uint64_t n = 1) {
    c.fetch_add(n, std::memory_order_relaxed);
  }
};

// Where a session keeps what the application reads and writes: the exported variables for the
// first session, fields of the session for the others.
struct SessionValues {
  char* hostAddr;
  size_t hostAddrSize;
  int* tcpPort;
  int* tcpPortAlarm;
  int* firstConn;
  int* initFinish;
  int* linkDown;
  int* scannerType;
  int* family;
  int* fingerTest;
};

struct LibraryState {
  LibraryState();  // the first session: the exported variables and the library's station table
  LibraryState(const SessionValues& values, codec::BaseStationTable* stations)
      : diag(false), values(values), stations(stations) {}
  LibraryState(const LibraryState&) = delete;
  LibraryState& operator=(const LibraryState&) = delete;

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
  // Its own trace sink and wire tap (the first session's are the process's), and its identity.
  SessionDiagnostics diag;

  const SessionValues values;
  codec::BaseStationTable* const stations;
  // The command sequence number: 6, 7, ... 0xFFFE, then 5 again (client/sequence.h).
  std::atomic<uint16_t> sequence{5};
  int alarmPort = 8050;
  // A session's own bounds, changed at any time by the application; 0: the process default (link)
  // or the engine's timings (reply, and connect, which is then per attempt, not a total).
  std::atomic<int> linkTimeoutMs{0};
  std::atomic<int> replyTimeoutMs{0};
  std::atomic<int> connectTimeoutMs{0};  // the whole bring-up, every attempt included

  // The first session's only: the timings its next engine takes (a test hook; other sessions
  // give theirs when opened, starting from these). Under a lock of their own, so reading them
  // never waits for a callback of the first session.
  platform::Mutex timingsMutex;
  Timings nextEngineTimings;
};

LibraryState& Library();

// Exported ints are plain ints for the application; the library's threads reach them atomically.
inline int LoadGlobal(int& g) { return std::atomic_ref<int>(g).load(std::memory_order_acquire); }
inline void StoreGlobal(int& g, int v) {
  std::atomic_ref<int>(g).store(v, std::memory_order_release);
}

}  // namespace scanlink::transport
