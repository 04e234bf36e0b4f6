// Registration and the delivery of one frame: replies to the module whose request they answer,
// broadcasts to every active module.
#include "transport/modules.h"

#include <atomic>

#include "codec/codec.h"
#include "codec/engine_messages.h"
#include "codec/frame_header.h"
#include "platform/clock.h"
#include "transport/trace.h"

namespace scanlink::transport {
namespace {

thread_local int t_callbacks = 0;  // CallbackScopes open on this thread

}  // namespace

CallbackScope::CallbackScope() { ++t_callbacks; }
CallbackScope::~CallbackScope() { --t_callbacks; }

bool InsideAnyCallback() { return t_callbacks > 0; }

uint8_t ModuleRegistry::RegisterModule(CMyPcCommInterface* module, uint8_t mode) {
  ObjectTable& objects = lib_.objects;
  if (module == nullptr) return 0;
  if (mode == 1) {
    if (ObjectNode* node = objects.Find(module)) Unregister(node);
    const uint8_t id = objects.AllocObjectSlot();
    if (id == 0) return 0;
    ObjectNode* node = objects.Node(id);
    node->pInterface = module;
    node->nModuleID = id;
    std::atomic_ref<unsigned char>(module->bActive).store(1, std::memory_order_relaxed);
    objects.AppendObject(node);
    return id;
  }
  if (mode == 0) {
    ObjectNode* node = objects.Find(module);
    if (node == nullptr) return 0;
    Unregister(node);
    return 255;
  }
  return 0;
}

void ModuleRegistry::Unregister(ObjectNode* node) {
  // The id is read first: freeing the slot clears the node.
  const uint8_t id = node->nModuleID;
  lib_.objects.RemoveObject(node);
  lib_.objects.FreeObjectSlot(id);
}

void ModuleRegistry::RegisterAlarmModule(CMyPcCommInterface* module, uint8_t mode) {
  if (mode <= 1) lib_.alarmModule = mode == 1 ? module : nullptr;
}

bool ModuleRegistry::IsRegisteredActive(uint8_t moduleId) const {
  for (ObjectNode* node = lib_.objects.Head(); node != nullptr; node = node->pNext) {
    if (node->nModuleID == moduleId && IsActiveModule(node->pInterface)) return true;
  }
  return false;
}

void ModuleRegistry::ReclaimTransactions(uint32_t generation) {
  const int freed = lib_.trans.ReclaimUpTo(generation);
  if (freed > 0) {
    Counters::Add(lib_.counters.transactionsReclaimed, static_cast<uint64_t>(freed));
    TraceF(lib_, kTraceInfo, "ReclaimTransactions(): %d transactions of a lost link freed.", freed);
  }
}

void ModuleRegistry::ReclaimExpired() {
  const uint64_t now = platform::TickMs();
  const int replyTimeoutMs = ReplyTimeoutMs();
  const uint64_t bound = static_cast<uint64_t>(replyTimeoutMs);
  if (now < bound) return;
  const int freed = lib_.trans.ReclaimSentBefore(now - bound);
  if (freed > 0) {
    Counters::Add(lib_.counters.transactionsReclaimed, static_cast<uint64_t>(freed));
    TraceF(lib_, kTraceInfo, "ReclaimExpired(): %d transactions without a reply for %d ms freed.",
           freed, replyTimeoutMs);
  }
}

void ModuleRegistry::MyDispatchData(const uint8_t* frame, int32_t length) {
  const auto drop = [&](int level, const char* why, std::atomic<uint64_t>& counter) {
    MyTrace(lib_, level, why);
    Counters::Add(counter);
  };
  ObjectNode* node = lib_.objects.Head();
  MyTrace(lib_, kTraceDebug, "Cliet get data from server!");
  if (node == nullptr) {
    return drop(kTraceError, "MyDispatchData(): Object table is NULL!",
                lib_.counters.droppedNoModule);
  }
  if (length < static_cast<int32_t>(codec::kHeaderSize) ||
      length > static_cast<int32_t>(codec::kMaxFrame)) {
    return drop(kTraceError, "MyDispatchData(): Message length is overflow!",
                lib_.counters.droppedLength);
  }
  const codec::FrameHeader header = codec::read_header(frame);
  const uint8_t moduleId = header.module;
  const uint16_t transId = header.transId;
  TraceF(lib_, kTraceDebug, "The recv trans id is: %d .", transId);
  if (header.sync != codec::kSync) {
    return drop(kTraceWarning, "MyDispatchData(): Synch byte is error!", lib_.counters.droppedSync);
  }
  if (codec::frame_length(header) != static_cast<size_t>(length)) {
    return drop(kTraceWarning, "MyDispatchData(): Message length is error!",
                lib_.counters.droppedLength);
  }

  CCmdManage record;
  codec::decode_payload(
      header.code, transId, frame + codec::kHeaderSize, header.length, record,
      codec::DecodeEnv{
          std::atomic_ref<int>(*lib_.values.fingerTest).load(std::memory_order_relaxed),
          lib_.stations});

  if (const auto scanner = codec::scanner_family(record)) {
    StoreGlobal(*lib_.values.scannerType, scanner->type);
    StoreGlobal(*lib_.values.family, scanner->family);
  }

  bool delivered = false;
  if (transId == codec::kBroadcastTrans) {
    MyTrace(lib_, kTraceDebug, "MyDispatchData(): Dispatch data to all module!");
    delivered = Broadcast([&](ObjectNode* target) {
      TraceF(lib_, kTraceDebug, "MyDispatchData(): One of all module ID is: %d", target->nModuleID);
      if (!IsActiveModule(target->pInterface)) return false;
      target->pInterface->ProcPcCommMsg(record);
      return true;
    });
  } else {
    MyTrace(lib_, kTraceDebug, "Dispatch data to specify source module!");
    TransInfo* info = lib_.trans.GetTransInfo(transId);
    if (info == nullptr) {
      return drop(kTraceError, "The transaction information table is NULL!",
                  lib_.counters.droppedTransaction);
    }
    // (The free list's tail has an entry too, taken by nobody: serial 0.)
    if (info->nSerial != 0 &&
        platform::TickMs() - info->nSentMs > static_cast<uint64_t>(ReplyTimeoutMs())) {
      // Overdue: its id is given back, as every other overdue one, and the reply is unknown.
      ReclaimExpired();
      return drop(kTraceWarning, "The reply came after the transaction was given up!",
                  lib_.counters.droppedTransaction);
    }
    if (moduleId != info->nSourceID) {
      return drop(kTraceWarning,
                  "The nSourceID in the transaction table is not match from message!",
                  lib_.counters.droppedTransaction);
    }
    lib_.trans.FreeTransID(transId);
    for (; node != nullptr && !Closing(); node = node->pNext) {
      TraceF(lib_, kTraceDebug,
             "MyDispatchData(): The source module ID is: %d. The trans id is: %d.", moduleId,
             transId);
      if (node->nModuleID == moduleId && IsActiveModule(node->pInterface)) {
        node->pInterface->ProcPcCommMsg(record);
        delivered = true;
        break;
      }
    }
  }
  Counters::Add(delivered ? lib_.counters.framesDelivered : lib_.counters.droppedNoModule);
}

}  // namespace scanlink::transport
