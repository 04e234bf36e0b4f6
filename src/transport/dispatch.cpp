// The Msg proc threads: entries of the hand-over are delivered through the module registry
// (transport/modules.h), one at a time and in arrival order. One of the two drains while the
// other sleeps, so they never take turns at the session lock frame by frame.
#include <atomic>

#include "codec/codec.h"
#include "platform/clock.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"

namespace scanlink::transport {
namespace {

// Entries delivered per hold of the session lock: few enough that a send waits only briefly.
constexpr int kDrainBatch = 8;

}  // namespace

void CMyPcCommSocket::MsgProcThreadProc(platform::Event* stop) {
  Handover& handover = lib_.handover;
  for (;;) {
    // Taken before looking, so a ring after the look ends the wait.
    const uint32_t ticket = handover.Ticket();
    if (stop->IsSet()) return;
    if (handover.TryStartDraining()) {
      const bool stopped = Drain(*stop);
      handover.StopDraining();
      const bool left = !handover.EmptyNow();
      if (stopped) {
        // A newer link's threads may have gone to sleep while this one drained: what is left
        // is theirs now.
        if (left) handover.WakeAll();
        return;
      }
      if (left) continue;
    }
    handover.Wait(ticket);
  }
}

bool CMyPcCommSocket::Drain(const platform::Event& stop) {
  LibraryState& lib = lib_;
  Handover& handover = lib.handover;
  for (;;) {
    platform::ScopedLock<platform::RecursiveMutex> lock(lib.lock);
    for (int n = 0; n < kDrainBatch; ++n) {
      // A callback may have stopped the link: what is left waits in the queue as ever.
      if (stop.IsSet()) return true;
      const Handover::Entry* e = handover.Front();
      if (e == nullptr) return false;
      switch (e->kind) {
        case Handover::Entry::Kind::kReclaim:
          // Everything the finished link received has been dispatched.
          modules_.ReclaimTransactions(e->generation);
          break;
        case Handover::Entry::Kind::kFrame:
          MyDispatchData(handover.Bytes(*e), static_cast<int32_t>(e->length));
          break;
      }
      handover.PopFront();
    }
  }
}

}  // namespace scanlink::transport
