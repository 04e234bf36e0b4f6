// Link supervision: watches for a lost link, tells the modules, and rebuilds the link for as
// long as it takes.
#include "codec/engine_messages.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"

namespace scanlink::transport {

bool CMyPcCommSocket::StartLinkMaintain() {
  if (maintain_.Running()) return true;
  if (maintain_.Start([this] { LinkMaintainProc(); })) return true;
  MyTrace(lib_, kTraceError, "StartLinkMaintain(): Create the link maintain thread failure!");
  return false;
}

void CMyPcCommSocket::LinkMaintainProc() {
  // Lost and not yet back: each pass makes one more attempt.
  bool reconnecting = false;
  for (;;) {
    if (maintainStop_.Wait(timings_.supervisionMs)) return;
    if (Closed()) {
      // A closed engine never reopens its link; destroying it ends this thread.
      maintainStop_.Wait(-1);
      return;
    }
    if (!reconnecting && lib_.linkLost.load(std::memory_order_acquire) != 1) continue;
    // A pass moves the engine and publishes what it did as one step: no application bring-up
    // runs in between, and closing or destroying the engine waits for the pass to end.
    BringUpLock held(*this);
    if (!reconnecting) {
      Counters::Add(lib_.counters.linkLosses);
      if (!SendLinkStatus(1) || !Publish([this] { StoreGlobal(*lib_.values.firstConn, 1); }))
        continue;
      RetireAndReap(held, kCurrentLink);
      reconnecting = true;
    } else if (LoadGlobal(*lib_.values.initFinish) == 1) {
      // The application wrote 0 into gLinkDownFlag and brought the link up itself while this
      // thread waited: the modules, told it was lost, hear that it is back.
      if (SendLinkStatus(2) && Publish([this] { StoreGlobal(*lib_.values.linkDown, 0); })) {
        NotifyConnectMsg(true);
      }
      reconnecting = false;
      continue;
    }
    if (!Publish([this] { StoreGlobal(*lib_.values.linkDown, 0); }) || !NotifyConnectMsg(false))
      continue;
    switch (ReInitPcComm(held)) {
      case Attempt::kRestored:
        Counters::Add(lib_.counters.reconnections);
        reconnecting = false;
        break;
      case Attempt::kFailed:
        // Kept raised while the link is down, as a failure seen meanwhile would leave it.
        lib_.linkLost.store(1, std::memory_order_release);
        break;
      case Attempt::kCancelled:
        break;
    }
  }
}

CMyPcCommSocket::Attempt CMyPcCommSocket::ReInitPcComm(const BringUpLock& held) {
  if (!Publish([this] { StoreGlobal(*lib_.values.initFinish, 0); })) return Attempt::kCancelled;
  const BringUpResult result = BringUp(held);
  if (result == BringUpResult::kCancelled) return Attempt::kCancelled;
  if (result == BringUpResult::kUp) {
    if (SendLinkStatus(2) && Publish([this] { StoreGlobal(*lib_.values.linkDown, 0); }) &&
        NotifyConnectMsg(true)) {
      return Attempt::kRestored;
    }
    return Attempt::kCancelled;
  }
  // The failed attempt has retired and reaped what it created, and only that: a link is never
  // taken from under the application here.
  if (SendLinkStatus(3) && Publish([this] { StoreGlobal(*lib_.values.linkDown, 1); }))
    return Attempt::kFailed;
  return Attempt::kCancelled;
}

bool CMyPcCommSocket::SendLinkStatus(int status) {
  const auto frame = codec::link_status_frame(static_cast<uint8_t>(status));
  return Publish([&] { MyDispatchData(frame.data(), static_cast<int32_t>(frame.size())); });
}

bool CMyPcCommSocket::NotifyConnectMsg(bool connected) {
  return Publish([&] {
    modules_.Broadcast([&](ObjectNode* target) {
      if (!IsActiveModule(target->pInterface)) return false;
      target->pInterface->ConnectMsg(connected);
      return true;
    });
  });
}

}  // namespace scanlink::transport
