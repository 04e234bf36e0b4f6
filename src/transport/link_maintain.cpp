// Link supervision: watches for a lost link, tells the modules, and rebuilds the link for as
// long as it takes.
#include <cstring>

#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"

namespace scanlink::transport {

void CMyPcCommSocket::StartLinkMaintain() {
  if (maintain_.Running()) return;
  if (!maintain_.Start([this] { LinkMaintainProc(); })) {
    MyTrace("StartLinkMaintain(): Create the link maintain thread failure!");
  }
}

void CMyPcCommSocket::LinkMaintainProc() {
  LibraryState& lib = Library();
  bool tornDown = false;
  for (;;) {
    if (maintainStop_.Wait(timings_.supervisionMs)) return;
    // After ExitConnection nothing reopens the link.
    if (Closed()) continue;
    if (lib.linkLost.load(std::memory_order_acquire) != 1) continue;
    if (!tornDown) {
      Counters::Add(lib.counters.linkLosses);
      SendLinkStatus(1);
      StoreGlobal(gFirstConnFlag, 1);
      {
        platform::LockGuard bringUp(bringUp_);
        RetireLink();
        ReapRetired();
      }
      tornDown = true;
    }
    StoreGlobal(gLinkDownFlag, 0);
    NotifyConnectMsg(false);
    if (maintainStop_.IsSet() || Closed()) continue;
    // Cleared before the new link exists, not after it is up: a failure of the new link that
    // comes while the modules are being told it is back must not be wiped out.
    lib.linkLost.store(0, std::memory_order_release);
    if (ReInitPcComm() == 1) {
      Counters::Add(lib.counters.reconnections);
      tornDown = false;
    } else {
      lib.linkLost.store(1, std::memory_order_release);
    }
  }
}

int CMyPcCommSocket::ReInitPcComm() {
  StoreGlobal(gInitFinishFlag, 0);
  nConnectOK = 0;
  nConnectRetry = 0;
  const int result = InitPcComm();
  if (result == 0) {
    SendLinkStatus(2);
    StoreGlobal(gLinkDownFlag, 0);
    NotifyConnectMsg(true);
    return 1;
  }
  SendLinkStatus(3);
  {
    platform::LockGuard bringUp(bringUp_);
    RetireLink();
    ReapRetired();
  }
  StoreGlobal(gLinkDownFlag, 1);
  return 0;
}

void CMyPcCommSocket::SendLinkStatus(int status) {
  uint8_t frame[10] = {0x55, 0x00, 0xFF, 0xEE, 0xFF,
                       0xFF, 0x00, 0x02, 0x00, static_cast<uint8_t>(status)};
  LibraryState& lib = Library();
  platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
  MyDispatchData(frame, sizeof frame);
}

void CMyPcCommSocket::NotifyConnectMsg(bool connected) {
  LibraryState& lib = Library();
  platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
  for (ObjectNode* node = lib.objects.Head(); node != nullptr; node = node->pNext) {
    CMyPcCommInterface* module = node->pInterface;
    if (module != nullptr &&
        std::atomic_ref<unsigned char>(module->bActive).load(std::memory_order_relaxed) == 1) {
      module->ConnectMsg(connected);
    }
  }
}

}  // namespace scanlink::transport
