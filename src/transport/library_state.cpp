#include "transport/library_state.h"

#include <cstddef>
#include <cstring>

namespace scanlink::transport {

LibraryState::LibraryState()
    : values{gHostAddr,        sizeof gHostAddr, &nTcpPort,     &nTcpPortAlarm,   &gFirstConnFlag,
             &gInitFinishFlag, &gLinkDownFlag,   &nScannerType, &TDorWCDMAConfig, &FingerTestFlag},
      stations(&codec::library_stations()) {}

LibraryState& Library() {
  static LibraryState state;
  return state;
}

}  // namespace scanlink::transport

void ScanlinkReadCounters(ScanlinkCounters* out) {
  ScanlinkReadCountersSized(out, offsetof(ScanlinkCounters, queueHighWater) + sizeof(uint64_t));
}

void ScanlinkReadCountersSized(ScanlinkCounters* counters, size_t size) {
  if (counters == nullptr) return;
  ScanlinkCounters all{};
  ScanlinkCounters* out = &all;
  const auto& c = scanlink::transport::Library().counters;
  auto get = [](const std::atomic<uint64_t>& v) { return v.load(std::memory_order_relaxed); };
#define SCANLINK_COUNTER_READ(name, cName) out->name = get(c.name);
  SCANLINK_COUNTERS(SCANLINK_COUNTER_READ)
#undef SCANLINK_COUNTER_READ
  std::memcpy(counters, &all, size < sizeof all ? size : sizeof all);
}
