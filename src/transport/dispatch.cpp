// The Msg proc threads and MyDispatchData: frames from the queue are checked, decoded and
// delivered, one at a time and in arrival order.
#include <atomic>

#include "codec/codec.h"
#include "platform/clock.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"

namespace scanlink::transport {
namespace {

uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

bool IsActive(const CMyPcCommInterface* module) {
  return module != nullptr &&
         std::atomic_ref<const unsigned char>(module->bActive).load(std::memory_order_relaxed) == 1;
}

}  // namespace

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
            ReclaimTransactions(d->nGeneration);
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

void CMyPcCommSocket::ReclaimTransactions(uint32_t generation) {
  LibraryState& lib = lib_;
  const int freed = lib.trans.ReclaimUpTo(generation);
  if (freed > 0) {
    Counters::Add(lib.counters.transactionsReclaimed, static_cast<uint64_t>(freed));
    TraceF("ReclaimTransactions(): %d transactions of a lost link freed.", freed);
  }
}

void CMyPcCommSocket::ReclaimExpired() {
  LibraryState& lib = lib_;
  const uint64_t now = platform::TickMs();
  const uint64_t bound = static_cast<uint64_t>(timings_.replyTimeoutMs);
  if (now < bound) return;
  const int freed = lib.trans.ReclaimSentBefore(now - bound);
  if (freed > 0) {
    Counters::Add(lib.counters.transactionsReclaimed, static_cast<uint64_t>(freed));
    TraceF("ReclaimExpired(): %d transactions without a reply for %d ms freed.", freed,
           timings_.replyTimeoutMs);
  }
}

void CMyPcCommSocket::MyDispatchData(const uint8_t* frame, int32_t length) {
  LibraryState& lib = lib_;
  ObjectNode* node = lib.objects.Head();
  MyTrace("Cliet get data from server!");
  if (node == nullptr) {
    MyTrace("MyDispatchData(): Object table is NULL!");
    Counters::Add(lib.counters.droppedNoModule);
    return;
  }
  if (length < 8 || length > 2056) {
    MyTrace("MyDispatchData(): Message length is overflow!");
    Counters::Add(lib.counters.droppedLength);
    return;
  }
  const uint8_t sync = frame[0];
  const uint8_t moduleId = frame[1];
  const uint16_t code = GetBe16(frame + 2);
  const uint16_t transId = GetBe16(frame + 4);
  const uint16_t payloadLength = GetBe16(frame + 6);
  TraceF("The recv trans id is: %d .", transId);
  if (sync != 0x55) {
    MyTrace("MyDispatchData(): Synch byte is error!");
    Counters::Add(lib.counters.droppedSync);
    return;
  }
  if (payloadLength + 8 != length) {
    MyTrace("MyDispatchData(): Message length is error!");
    Counters::Add(lib.counters.droppedLength);
    return;
  }

  CCmdManage record;
  codec::decode_payload(
      code, transId, frame + 8, payloadLength, record,
      codec::DecodeEnv{std::atomic_ref<int>(*lib.values.fingerTest).load(std::memory_order_relaxed),
                       lib.stations});

  if (code == 44) {
    int type = 0;
    int family = 0;
    switch (record.body.family.nFamilyValue) {
      case 11:
        type = 1, family = 1;
        break;
      case 12:
        type = 2, family = 1;
        break;
      case 21:
        type = 1, family = 2;
        break;
      case 22:
        type = 2, family = 2;
        break;
      default:
        break;
    }
    StoreGlobal(*lib_.values.scannerType, type);
    StoreGlobal(*lib_.values.family, family);
  }

  bool delivered = false;
  if (transId == 0xFFFF) {
    MyTrace("MyDispatchData(): Dispatch data to all module!");
    delivered = Broadcast([&](ObjectNode* target) {
      TraceF("MyDispatchData(): One of all module ID is: %d", target->nModuleID);
      if (!IsActive(target->pInterface)) return false;
      target->pInterface->ProcPcCommMsg(record);
      return true;
    });
  } else {
    MyTrace("Dispatch data to specify source module!");
    TransInfo* info = lib.trans.GetTransInfo(transId);
    if (info == nullptr) {
      MyTrace("The transaction information table is NULL!");
      Counters::Add(lib.counters.droppedTransaction);
      return;
    }
    // (The free list's tail has an entry too, taken by nobody: serial 0.)
    if (info->nSerial != 0 &&
        platform::TickMs() - info->nSentMs > static_cast<uint64_t>(timings_.replyTimeoutMs)) {
      // Overdue: its id is given back, as every other overdue one, and the reply is unknown.
      ReclaimExpired();
      MyTrace("The reply came after the transaction was given up!");
      Counters::Add(lib.counters.droppedTransaction);
      return;
    }
    if (moduleId != info->nSourceID) {
      MyTrace("The nSourceID in the transaction table is not match from message!");
      Counters::Add(lib.counters.droppedTransaction);
      return;
    }
    lib.trans.FreeTransID(transId);
    for (; node != nullptr && !Closed(); node = node->pNext) {
      TraceF("MyDispatchData(): The source module ID is: %d. The trans id is: %d.", moduleId,
             transId);
      if (node->nModuleID == moduleId && IsActive(node->pInterface)) {
        node->pInterface->ProcPcCommMsg(record);
        delivered = true;
        break;
      }
    }
  }
  Counters::Add(delivered ? lib.counters.framesDelivered : lib.counters.droppedNoModule);
}

}  // namespace scanlink::transport
