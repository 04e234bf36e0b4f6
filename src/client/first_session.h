// The first session: the one the original classes (CMyPcCommSocketClient, CCmdManage) and the
// exported variables work on. Its state, station table, engine and the timings its next engine
// takes live here, in client; transport and codec are handed them like any session's.
#pragma once

#include <atomic>

#include "codec/codec.h"
#include "codec/gps_check.h"
#include "transport/library_state.h"
#include "transport/timings.h"

namespace scanlink::transport {
class CMyPcCommSocket;
}

namespace scanlink::client {

// Its state, bound to the exported variables and its station table.
transport::LibraryState& FirstState();
// The table behind SetBSList and SetGpsMismatchLimit.
codec::BaseStationTable& FirstStations();
// What CCmdManage::DecodeMessage decodes with: FingerTestFlag and the first session's table.
codec::DecodeEnv FirstDecodeEnv();
// Its engine while a client exists, shared by every client; null otherwise.
std::atomic<transport::CMyPcCommSocket*>& FirstEngine();
// Timings of the first session's engines created from now on (a test hook; C sessions start
// from them too). An engine keeps its own for its whole life.
void SetFirstSessionTimings(const transport::Timings& timings);
transport::Timings FirstSessionTimings();
// A callback of the first session runs with its lock held, on one of the library's threads.
bool InsideFirstSessionCallback();

}  // namespace scanlink::client
