// One session's state in one owned place: its lock, pools, message queue, alarm module,
// link-lost flag, counters, station list, sequence number and the values the application sees.
// Its owner makes it and hands it to the session's engine: the first session's lives in
// client/first_session.cpp, every C session owns its own.
#pragma once

#include <atomic>
#include <cstdint>

#include "codec/gps_check.h"
#include "platform/sync.h"
#include "scanlink/scanlink.h"
#include "transport/counter_list.h"
#include "transport/handover.h"
#include "transport/pools.h"
#include "transport/session_diag.h"

namespace scanlink::transport {

struct Counters {
#define SCANLINK_COUNTER_FIELD(name, cName) std::atomic<uint64_t> name{0};
  SCANLINK_COUNTERS(SCANLINK_COUNTER_FIELD)
#undef SCANLINK_COUNTER_FIELD

  static void Add(std::atomic<uint64_t>& c, uint64_t n = 1) {
    c.fetch_add(n, std::memory_order_relaxed);
  }
};

// A session's int values once: X(field, exported variable of the first session, initial value).
// The first session keeps them in the exported variables, a C session in fields of its own.
// family starts as WCDMA until the login reply says otherwise.
#define SCANLINK_SESSION_INTS(X)    \
  X(tcpPort, nTcpPort, 0)           \
  X(tcpPortAlarm, nTcpPortAlarm, 0) \
  X(firstConn, gFirstConnFlag, 0)   \
  X(initFinish, gInitFinishFlag, 0) \
  X(linkDown, gLinkDownFlag, 0)     \
  X(scannerType, nScannerType, 0)   \
  X(family, TDorWCDMAConfig, 1)     \
  X(fingerTest, FingerTestFlag, 0)

// Where a session keeps what the application reads and writes: the host address text and one
// pointer per value of the list above.
struct SessionValues {
  char* hostAddr;
  size_t hostAddrSize;
#define SCANLINK_SESSION_POINTER(field, exported, initial) int* field;
  SCANLINK_SESSION_INTS(SCANLINK_SESSION_POINTER)
#undef SCANLINK_SESSION_POINTER
};

struct LibraryState {
  // first: the process's first session, whose texts and bytes go to the process's sink and tap.
  LibraryState(const SessionValues& values, codec::BaseStationTable* stations, bool first = false)
      : diag(first), values(values), stations(stations) {}
  LibraryState(const LibraryState&) = delete;
  LibraryState& operator=(const LibraryState&) = delete;

  // The one re-entrant library lock: pools, queue, module list, socket writes.
  platform::RecursiveMutex lock;
  ObjectTable objects;
  TransInfoTable trans;
  // Received frames on their way from the listening thread to the Msg proc threads.
  Handover handover;

  CMyPcCommInterface* alarmModule = nullptr;  // guarded by lock
  std::atomic<int> linkLost{0};               // gLinkLostFlag

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

  // What an engine starts from: pools emptied, no alarm module, no failure an earlier engine
  // left behind. The state's owner calls it before building each engine on it.
  LibraryState& ReadyForEngine() {
    platform::ScopedLock<platform::RecursiveMutex> guard(lock);
    trans.Init();
    handover.Init();  // allocated once; the engine checks Allocated()
    objects.Init();
    alarmModule = nullptr;
    linkLost.store(0, std::memory_order_release);
    return *this;
  }
};

// Exported ints are plain ints for the application; the library's threads reach them atomically.
inline int LoadGlobal(int& g) { return std::atomic_ref<int>(g).load(std::memory_order_acquire); }
inline void StoreGlobal(int& g, int v) {
  std::atomic_ref<int>(g).store(v, std::memory_order_release);
}

}  // namespace scanlink::transport
