// The Msg proc threads and MyDispatchData: frames from the queue are checked, decoded and
// delivered, one at a time and in arrival order.
#include <atomic>

#include "codec/codec.h"
#include "codec/engine_messages.h"
#include "platform/clock.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"

namespace scanlink::transport {
namespace {

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
  if (length < static_cast<int32_t>(codec::kHeaderSize) ||
      length > static_cast<int32_t>(codec::kMaxFrame)) {
    MyTrace("MyDispatchData(): Message length is overflow!");
    Counters::Add(lib.counters.droppedLength);
    return;
  }
  const codec::FrameHeader header = codec::read_header(frame);
  const uint8_t moduleId = header.module;
  const uint16_t transId = header.transId;
  TraceF("The recv trans id is: %d .", transId);
  if (header.sync != codec::kSync) {
    MyTrace("MyDispatchData(): Synch byte is error!");
    Counters::Add(lib.counters.droppedSync);
    return;
  }
  if (codec::frame_length(header) != static_cast<size_t>(length)) {
    MyTrace("MyDispatchData(): Message length is error!");
    Counters::Add(lib.counters.droppedLength);
    return;
  }

  CCmdManage record;
  codec::decode_payload(
      header.code, transId, frame + codec::kHeaderSize, header.length, record,
      codec::DecodeEnv{std::atomic_ref<int>(*lib.values.fingerTest).load(std::memory_order_relaxed),
                       lib.stations});

  if (const auto scanner = codec::scanner_family(record)) {
    StoreGlobal(*lib_.values.scannerType, scanner->type);
    StoreGlobal(*lib_.values.family, scanner->family);
  }

  bool delivered = false;
  if (transId == codec::kBroadcastTrans) {
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
