// The Msg proc threads: frames from the queue are handed to the module registry's delivery
// (transport/modules.h), one at a time and in arrival order.
#include <atomic>

#include "codec/codec.h"
#include "platform/clock.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"

namespace scanlink::transport {

void CMyPcCommSocket::MsgProcThreadProc(platform::Event* stop) {
  LibraryState& lib = lib_;
  for (;;) {
    uint32_t ticket;
    {
      platform::ScopedLock<platform::RecursiveMutex> lock(lib.lock);
      if (stop->IsSet()) return;
      if (RecvBuffer* d = lib.msgQ.PopMsgQHead()) {
        switch (d->kind) {
          case RecvBuffer::Kind::kReclaim:
            // Everything the finished link received has been dispatched.
            modules_.ReclaimTransactions(d->nGeneration);
            break;
          case RecvBuffer::Kind::kFrame:
            MyDispatchData(d->pBuf, d->nLen);
            delete[] d->pBuf;
            d->pBuf = nullptr;
            break;
        }
        lib.buffers.FreeRecvBuffer(d->nIndex);
        continue;
      }
      ticket = lib.msgBell.Ticket();
    }
    lib.msgBell.Wait(ticket);
  }
}

}  // namespace scanlink::transport
