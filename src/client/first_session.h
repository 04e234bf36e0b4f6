// The first session: the one the original classes (CMyPcCommSocketClient, CCmdManage) and the
// exported variables work on. Its session, clients and the timings its next engine takes live
// here, in client; transport and codec are handed them like any session's.
#pragma once

#include <vector>

#include "client/session.h"
#include "codec/codec.h"
#include "codec/gps_check.h"
#include "platform/sync.h"
#include "transport/library_state.h"
#include "transport/timings.h"

namespace scanlink::transport {
class CMyPcCommSocket;
}

namespace scanlink::client {

// The original clients of the first session. Clients and their copies share the one engine;
// the last one gone destroys it. Counting and taking the engine happen under `lock`; creating
// and destroying it happen outside, with `busy` raised (both take the library lock, which a
// callback that creates or destroys a client holds while it waits for `lock`).
struct FirstSessionClients {
  platform::Mutex lock;
  platform::ConditionVariable idle;
  int count = 0;
  bool busy = false;  // an engine is being created or destroyed
  // Engines abandoned by their last client inside one of their callbacks: closed, threads
  // ending, to be destroyed by the next client created outside a callback.
  std::vector<transport::CMyPcCommSocket*> abandoned;
};
FirstSessionClients& FirstClients();

// The session, its values the exported variables; its engine exists while a client does, shared
// by every client.
Session& FirstSession();
transport::LibraryState& FirstState();
// The table behind SetBSList and SetGpsMismatchLimit.
codec::BaseStationTable& FirstStations();
// What CCmdManage::DecodeMessage decodes with: FingerTestFlag and the first session's table.
codec::DecodeEnv FirstDecodeEnv();
// Timings of the first session's engines created from now on (a test hook; C sessions start
// from them too). An engine keeps its own for its whole life.
void SetFirstSessionTimings(const transport::Timings& timings);
transport::Timings FirstSessionTimings();
// A callback of the first session runs with its lock held, on one of the library's threads.
bool InsideFirstSessionCallback();

}  // namespace scanlink::client
