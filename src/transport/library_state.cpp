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
  out->framesReceived = get(c.framesReceived);
  out->bytesReceived = get(c.bytesReceived);
  out->framesDelivered = get(c.framesDelivered);
  out->droppedSync = get(c.droppedSync);
  out->droppedLength = get(c.droppedLength);
  out->droppedNoModule = get(c.droppedNoModule);
  out->droppedTransaction = get(c.droppedTransaction);
  out->bytesSkipped = get(c.bytesSkipped);
  out->framesOversized = get(c.framesOversized);
  out->sends = get(c.sends);
  out->sendsFailed = get(c.sendsFailed);
  out->linkLosses = get(c.linkLosses);
  out->reconnections = get(c.reconnections);
  out->transactionsReclaimed = get(c.transactionsReclaimed);
  out->queueHighWater = get(c.queueHighWater);
  out->droppedReserved = get(c.droppedReserved);
  std::memcpy(counters, &all, size < sizeof all ? size : sizeof all);
}
