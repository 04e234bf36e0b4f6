// One scanner's session: its station table, the state its threads share and the engine built on
// that state. The first session (first_session.cpp) and every C session are one of these; they
// differ in where the values live and in how long an engine lives.
#pragma once

#include <atomic>

#include "codec/gps_check.h"
#include "transport/library_state.h"
#include "transport/timings.h"

namespace scanlink::transport {
class CMyPcCommSocket;
}

namespace scanlink::client {

class Session {
 public:
  // first: the process's first session, whose texts and bytes go to the process's sink and tap.
  explicit Session(const transport::SessionValues& values, bool first = false)
      : state(values, &stations, first) {}
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // An engine still held here is its owner's to destroy: the first session's may still run
  // while the process's statics go.
  ~Session() = default;

  codec::BaseStationTable stations;  // before the state, which points at it
  transport::LibraryState state;

  // The engine while one exists. It stays reachable until its destructor has returned: a
  // handler still running during the destruction may reach it through the session.
  transport::CMyPcCommSocket* engine() const { return engine_.load(std::memory_order_acquire); }
  // Readies the state (pools emptied, no failure an earlier engine left behind) and builds the
  // engine on it. Null when memory is short; an engine without its events says so by Ready().
  transport::CMyPcCommSocket* BuildEngine(const transport::Timings& timings);
  // Lets go of the engine and hands it to the caller, to destroy or abandon.
  transport::CMyPcCommSocket* TakeEngine() {
    return engine_.exchange(nullptr, std::memory_order_acq_rel);
  }
  // Destroys the engine, every thread of it reaped; only then is it let go.
  void DestroyEngine();

 private:
  std::atomic<transport::CMyPcCommSocket*> engine_{nullptr};
};

}  // namespace scanlink::client
