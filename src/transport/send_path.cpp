// The send path: every request leaves through MySendFrame with a fresh transaction id.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>

#include "codec/frame_header.h"
#include "platform/clock.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"
#include "transport/wire_tap.h"

namespace scanlink::transport {

uint16_t CMyPcCommSocket::MySendMessage(CMyPcCommMessage& message, uint8_t moduleId) {
  if (message.nLength > codec::kMaxPayload) {
    MyTrace(lib_, kTraceError, "MySendMessage(): Message length is overflow!");
    Counters::Add(lib_.counters.sendsFailed);
    return 0;
  }
  uint8_t frame[codec::kMaxFrame];
  codec::write_header(frame, {codec::kSync, 0, message.nCode, 0, message.nLength});
  std::memcpy(frame + codec::kHeaderSize, message.payload, message.nLength);
  return MySendFrame(frame, codec::kHeaderSize + message.nLength, moduleId);
}

uint16_t CMyPcCommSocket::MySendFrame(uint8_t* frame, size_t length, uint8_t moduleId) {
  const auto fail = [&](const char* why) -> uint16_t {
    MyTrace(lib_, kTraceError, why);
    Counters::Add(lib_.counters.sendsFailed);
    return 0;
  };
  uint16_t id;
  uint32_t serial;
  std::shared_ptr<Link> link;
  {
    platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
    id = lib_.trans.AllocTransID();
    if (id == 0) {
      // Every id taken: those whose reply is overdue will never be answered.
      modules_.ReclaimExpired();
      id = lib_.trans.AllocTransID();
    }
    TraceF(lib_, kTraceDebug, "The send trans id is: %d .", id);
    if (id == 0) return fail("$$$$$ Transaction ID is 0 !");
    TransInfo* info = lib_.trans.GetTransInfo(id);
    if (info == nullptr) return fail("$$$$$ Transaction information table is NULL!");
    info->nSourceID = moduleId;
    info->nGeneration = link_ ? link_->generation : 0;
    info->nSentMs = platform::TickMs();
    serial = info->nSerial;
    // The frame's own parts are the caller's; the requester and the transaction are ours.
    codec::FrameHeader header = codec::read_header(frame);
    header.module = info->nSourceID;
    header.transId = id;
    codec::write_header(frame, header);

    // No registered, active module with that id: nothing is written, the id is the result.
    if (!modules_.IsRegisteredActive(moduleId)) return id;
    link = link_;
  }
  if (MySendAll(link.get(), frame, static_cast<int32_t>(length)) == 0) {
    Counters::Add(lib_.counters.sends);
    return id;
  }
  Counters::Add(lib_.counters.sendsFailed);
  platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
  // Reclaimed with its link meanwhile, the id may already serve another request.
  lib_.trans.FreeTransID(id, serial);
  return 0;
}

int CMyPcCommSocket::MySendAll(Link* link, const uint8_t* data, int32_t count) {
  if (count <= 0) return 0;
  if (link == nullptr || !link->dataConnected.load(std::memory_order_acquire)) {
    // No connection to lose: the request fails, the link state stays as it is.
    MyTrace(lib_, kTraceWarning, "MySendAll(): The data socket is not connected!");
    return 4;
  }
  // Frames of concurrent senders never interleave; the library lock is not needed for the write.
  platform::LockGuard writer(link->sendMutex);
  // Tapped before the write: the reply can be read before the write call returns, and a
  // recording must show the request first. A write that then fails loses the link.
  Tap(lib_, TapDirection::kSent, TapChannel::kData, data, static_cast<size_t>(count));
  size_t sent = 0;
  const size_t total = static_cast<size_t>(count);
  // A scanner that writes a long burst before it reads takes nothing from us meanwhile, yet is
  // heard: a bound in which bytes arrived from it does not count, and only a scanner that neither
  // takes nor sends for a whole bound is lost. Heard or not, the link timeout without taking
  // anything ends the wait.
  uint64_t took = platform::TickMs();  // when the scanner last took bytes of ours
  const uint64_t longest =
      static_cast<uint64_t>(std::max(timings_.sendWaitMs, SessionLinkTimeoutMs()));
  uint64_t heard = lib_.counters.bytesReceived.load(std::memory_order_relaxed);
  while (sent < total) {
    const platform::IoResult r = link->sockData.Send(data + sent, total - sent);
    if (r.status == platform::IoStatus::kOk) {
      sent += r.bytes;
      continue;
    }
    // A full send buffer is no failure: wait, bounded, for the peer to take more.
    if (r.status == platform::IoStatus::kWouldBlock) {
      if (link->sockData.WaitWritable(timings_.sendWaitMs, &cancel_)) {
        took = platform::TickMs();
        continue;
      }
      // A scanner that reads slowly frees less room in a bound than wakes the wait, yet its
      // window moves: whatever the socket takes now is progress.
      const platform::IoResult more =
          cancel_.IsSet() ? r : link->sockData.Send(data + sent, total - sent);
      if (more.status == platform::IoStatus::kOk && more.bytes > 0) {
        sent += more.bytes;
        took = platform::TickMs();
        continue;
      }
      const uint64_t now = lib_.counters.bytesReceived.load(std::memory_order_relaxed);
      if (more.status == platform::IoStatus::kWouldBlock && now != heard && !cancel_.IsSet() &&
          platform::TickMs() - took < longest) {
        heard = now;
        continue;
      }
    }
    MyTrace(lib_, kTraceWarning, "MySendAll(): Send data failure, the link is lost!");
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
    Tap(lib_, TapDirection::kSent, TapChannel::kAlarm, data, r.bytes);
  return r.status == platform::IoStatus::kOk ? static_cast<int>(r.bytes) : -1;
}

}  // namespace scanlink::transport
