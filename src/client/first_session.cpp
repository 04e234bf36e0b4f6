// The first session, the one adapter between the original classes and the per-session state:
// the exported variables, the session bound to them, its clients and next timings,
// and the public functions that read or set the first session's (process's) values.
#include "client/first_session.h"

#include <cstddef>
#include <cstring>

#include "platform/sync.h"
#include "scanlink/records.h"
#include "scanlink/scanlink.h"

// The exported variables. They stay plain variables for the application; the library's own
// threads reach them atomically.
char gHostAddr[32] = "";
#define SCANLINK_EXPORTED_INT(field, exported, initial) int exported = initial;
SCANLINK_SESSION_INTS(SCANLINK_EXPORTED_INT)
#undef SCANLINK_EXPORTED_INT

namespace scanlink::client {
namespace {

struct FirstSessionParts {
  Session session{
#define SCANLINK_EXPORTED_ADDRESS(field, exported, initial) &exported,
      transport::SessionValues{gHostAddr, sizeof gHostAddr,
                               SCANLINK_SESSION_INTS(SCANLINK_EXPORTED_ADDRESS)},
#undef SCANLINK_EXPORTED_ADDRESS
      true};
  FirstSessionClients clients;
  // Under a lock of their own, so reading them never waits for a callback of the first session.
  platform::Mutex timingsMutex;
  transport::Timings nextEngineTimings;
};

// Created on first use, so it outlives every client created before the process ends.
FirstSessionParts& Parts() {
  static FirstSessionParts parts;
  return parts;
}

}  // namespace

Session& FirstSession() { return Parts().session; }
transport::LibraryState& FirstState() { return Parts().session.state; }
codec::BaseStationTable& FirstStations() { return Parts().session.stations; }
FirstSessionClients& FirstClients() { return Parts().clients; }

codec::DecodeEnv FirstDecodeEnv() {
  // The application writes FingerTestFlag from its own threads without a lock.
  return {std::atomic_ref<int>(FingerTestFlag).load(std::memory_order_relaxed), &FirstStations()};
}

void SetFirstSessionTimings(const transport::Timings& timings) {
  FirstSessionParts& first = Parts();
  platform::LockGuard guard(first.timingsMutex);
  first.nextEngineTimings = timings;
}

transport::Timings FirstSessionTimings() {
  FirstSessionParts& first = Parts();
  platform::LockGuard guard(first.timingsMutex);
  return first.nextEngineTimings;
}

bool InsideFirstSessionCallback() { return FirstState().lock.held_by_me(); }

}  // namespace scanlink::client

void CCmdManage::DecodeMessage(const CMyPcCommMessage& message) {
  scanlink::codec::decode_message(message, *this, scanlink::client::FirstDecodeEnv());
}

void ScanlinkReadCounters(ScanlinkCounters* out) {
  ScanlinkReadCountersSized(out, offsetof(ScanlinkCounters, queueHighWater) + sizeof(uint64_t));
}

void ScanlinkReadCountersSized(ScanlinkCounters* counters, size_t size) {
  if (counters == nullptr) return;
  ScanlinkCounters all{};
  ScanlinkCounters* out = &all;
  const auto& c = scanlink::client::FirstState().counters;
  auto get = [](const std::atomic<uint64_t>& v) { return v.load(std::memory_order_relaxed); };
#define SCANLINK_COUNTER_READ(name, cName) out->name = get(c.name);
  SCANLINK_COUNTERS(SCANLINK_COUNTER_READ)
#undef SCANLINK_COUNTER_READ
  std::memcpy(counters, &all, size < sizeof all ? size : sizeof all);
}
