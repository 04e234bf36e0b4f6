// The send path: every request leaves through MySendMessage with a fresh transaction id.
#include <atomic>
#include <cstring>
#include <memory>

#include "platform/clock.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"
#include "transport/wire_tap.h"

namespace scanlink::transport {
namespace {

void PutBe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

}  // namespace

uint16_t CMyPcCommSocket::MySendMessage(CMyPcCommMessage& message, uint8_t moduleId) {
  LibraryState& lib = lib_;
  if (message.nLength > CMyPcCommMessage::kMaxPayload) {
    MyTrace("MySendMessage(): Message length is overflow!");
    Counters::Add(lib.counters.sendsFailed);
    return 0;
  }
  uint8_t frame[2056] = {};
  uint16_t id;
  uint32_t serial;
  std::shared_ptr<Link> link;
  {
    platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
    id = lib.trans.AllocTransID();
    if (id == 0) {
      // Every id taken: those whose reply is overdue will never be answered.
      modules_.ReclaimExpired();
      id = lib.trans.AllocTransID();
    }
    TraceF("The send trans id is: %d .", id);
    if (id == 0) {
      MyTrace("$$$$$ Transaction ID is 0 !");
      Counters::Add(lib.counters.sendsFailed);
      return 0;
    }
    TransInfo* info = lib.trans.GetTransInfo(id);
    if (info == nullptr) {
      MyTrace("$$$$$ Transaction information table is NULL!");
      Counters::Add(lib.counters.sendsFailed);
      return 0;
    }
    info->nSourceID = moduleId;
    info->nGeneration = link_ ? link_->generation : 0;
    info->nSentMs = platform::TickMs();
    serial = info->nSerial;
    frame[0] = 0x55;
    frame[1] = info->nSourceID;
    PutBe16(frame + 2, message.nCode);
    PutBe16(frame + 4, id);
    PutBe16(frame + 6, message.nLength);
    std::memcpy(frame + 8, message.payload, message.nLength);

    // No registered, active module with that id: nothing is written, the id is the result.
    if (!modules_.IsRegisteredActive(moduleId)) return id;
    link = link_;
  }
  if (MySendAll(link.get(), frame, message.nLength + 8) == 0) {
    Counters::Add(lib.counters.sends);
    return id;
  }
  Counters::Add(lib.counters.sendsFailed);
  platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
  // Reclaimed with its link meanwhile, the id may already serve another request.
  lib.trans.FreeTransID(id, serial);
  return 0;
}

int CMyPcCommSocket::MySendAll(Link* link, const uint8_t* data, int32_t count) {
  if (count <= 0) return 0;
  if (link == nullptr || !link->dataConnected.load(std::memory_order_acquire)) {
    // No connection to lose: the request fails, the link state stays as it is.
    MyTrace("MySendAll(): The data socket is not connected!");
    return 4;
  }
  // Frames of concurrent senders never interleave; the library lock is not needed for the write.
  platform::LockGuard writer(link->sendMutex);
  // Tapped before the write: the reply can be read before the write call returns, and a
  // recording must show the request first. A write that then fails loses the link.
  Tap(TapDirection::kSent, TapChannel::kData, data, static_cast<size_t>(count));
  size_t sent = 0;
  const size_t total = static_cast<size_t>(count);
  while (sent < total) {
    const platform::IoResult r = link->sockData.Send(data + sent, total - sent);
    if (r.status == platform::IoStatus::kOk) {
      sent += r.bytes;
      continue;
    }
    // A full send buffer is no failure: wait, bounded, for the peer to take more.
    if (r.status == platform::IoStatus::kWouldBlock &&
        link->sockData.WaitWritable(timings_.sendWaitMs, &cancel_)) {
      continue;
    }
    MyTrace("MySendAll(): Send data failure, the link is lost!");
    // Shut down now, closed when the link is retired: the listening thread may be using it.
    link->sockData.Shutdown();
    link->dataConnected.store(false, std::memory_order_release);
    lib_.linkLost.store(1, std::memory_order_release);
    return 4;
  }
  return 0;
}

int CMyPcCommSocket::SendAlarm(const char* data, int length) {
  // The caller holds the library lock: the link stays while it writes, without waiting.
  Link* link = link_.get();
  if (link == nullptr || !link->alarmConnected.load(std::memory_order_acquire) || length < 0 ||
      (data == nullptr && length > 0)) {
    return -1;
  }
  const platform::IoResult r = link->sockAlarm.Send(data, static_cast<size_t>(length));
  if (r.status == platform::IoStatus::kOk)
    Tap(TapDirection::kSent, TapChannel::kAlarm, data, r.bytes);
  return r.status == platform::IoStatus::kOk ? static_cast<int>(r.bytes) : -1;
}

}  // namespace scanlink::transport
