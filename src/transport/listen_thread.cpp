// The listening thread: the only reader of the two connections. Alarm bytes go to the alarm
// module as they come; data bytes are cut into frames, which a caught-up stream dispatches at
// once and a busy one queues for the Msg proc threads.
#include <optional>

#include "codec/frame_header.h"
#include "codec/framer.h"
#include "platform/socket.h"
#include "platform/spin.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"
#include "transport/wire_tap.h"

namespace scanlink::transport {
namespace {

constexpr size_t kReadSize = 4096;
// Without room in the hand-over, reading waits for delivery to catch up (TCP flow control holds
// the peer meanwhile); delivery wakes it, this bound is only a safety net.
constexpr int kBackpressurePollMs = 10;
constexpr int kReadBurst = 16;
// How long the thread keeps looking at its sockets before it sleeps, when data has lately come
// back within that time (a request's reply, a stream). Waking a thread whose CPU has gone idle
// costs tens of microseconds, several times a loopback round trip. Not where looking costs more
// than a system call.
constexpr uint32_t kReadSpinUs = platform::kPollLookIsCheap ? 200 : 0;

// Receives the frames of one read. Queuing needs the hand-over's producer mutex; dispatching
// here, the session lock.
struct FrameSink {
  LibraryState& lib;
  CMyPcCommSocket& engine;
  const platform::Event& stop;
  // The read was short and the session lock is held: the stream is caught up, and a frame
  // handed to a Msg proc thread would cost two wake-ups on its way to the callback.
  bool dispatchHere = false;
  size_t queued = 0;

  void OnFrame(const uint8_t* frame, size_t length) {
    Counters::Add(lib.counters.framesReceived);
    // The link-status code is the library's own notice: one from the wire would pass for a
    // link event.
    if (codec::read_header(frame).code == codec::kLinkStatusCode) {
      Counters::Add(lib.counters.droppedReserved);
      return;
    }
    // Only behind an empty queue, so frames keep their arrival order (a callback may queue a
    // reclaim marker, or stop the link: later frames then wait in the queue as ever).
    if (dispatchHere && queued == 0 && lib.handover.Empty() && !stop.IsSet()) {
      engine.MyDispatchData(frame, static_cast<int32_t>(length));
      return;
    }
    // Dispatching here, the caller holds the session lock but not yet the producer mutex.
    std::optional<platform::LockGuard> producer;
    if (dispatchHere) producer.emplace(lib.handover.producerMutex());
    // Reads wait for room, so this fails only for a frame no header can announce.
    if (!lib.handover.PushFrame(frame, length)) {
      MyTrace(lib, kTraceError, "In listen thread, no room for a received frame");
      return;
    }
    ++queued;
  }
  void OnTrace(const char* text) { MyTrace(lib, kTraceDebug, text); }
  void OnOversized(size_t length) {
    Counters::Add(lib.counters.framesOversized);
    TraceF(lib, kTraceWarning, "Frame length %u is overflow, header skipped!",
           static_cast<unsigned>(length));
  }
  void OnDiscard(size_t bytes) { Counters::Add(lib.counters.bytesSkipped, bytes); }
};

void NoteDepth(Counters& counters, uint64_t depth) {
  if (depth > counters.queueHighWater.load(std::memory_order_relaxed)) {
    counters.queueHighWater.store(depth, std::memory_order_relaxed);
  }
}

}  // namespace

void CMyPcCommSocket::ListenThreadProc(Link* link) {
  LibraryState& lib = lib_;
  auto framer = std::make_unique<codec::Framer>();
  unsigned char dataBuf[kReadSize];
  unsigned char alarmBuf[kReadSize];
  bool dataOpen = true;  // until the peer closes it or a read fails
  bool alarmOpen = true;
  bool haveRoom = false;  // room in the hand-over for one more read
  platform::Poller poller;
  platform::AdaptiveSpin spin(kReadSpinUs);
  // The data connection's end, told once to the wire tap however this thread leaves.
  bool dataSeen = false;
  struct EndTap {
    LibraryState& lib;
    bool& seen;
    ~EndTap() {
      if (seen) TapEvent(lib, TapDirection::kClosed, TapChannel::kData);
    }
  } endTap{lib_, dataSeen};
  // Delivery must not set the wake event once the link is gone.
  struct ForgetWake {
    Handover& handover;
    platform::Event& wake;
    ~ForgetWake() { handover.Forget(&wake); }
  } forgetWake{lib.handover, link->wake};

  for (;;) {
    if (link->hStopListen.IsSet()) return;
    link->wake.Reset();
    const bool dataUp = dataOpen && link->dataConnected.load(std::memory_order_acquire);
    dataSeen = dataSeen || dataUp;
    const bool alarmUp = alarmOpen && link->alarmConnected.load(std::memory_order_acquire);
    if (!haveRoom) {
      platform::LockGuard producer(lib.handover.producerMutex());
      haveRoom = lib.handover.HasRoomOrWake(&link->wake, kReadSize);
    }
    poller.Clear();
    poller.Add(link->hStopListen);
    poller.Add(link->wake);
    const int dataSlot = dataUp && haveRoom ? poller.Add(link->sockData) : -1;
    const int alarmSlot = alarmUp ? poller.Add(link->sockAlarm) : -1;
    bool waited = true;  // false: the wait failed
    // Not while the Msg proc threads have frames to deliver: they need the CPU more.
    const bool spun = dataSlot >= 0 && lib.handover.Empty() && spin.Spin([&] {
      waited = poller.Wait(0);
      return !waited || poller.Readable(0) || poller.Readable(1) || poller.Readable(dataSlot) ||
             poller.Readable(alarmSlot);
    });
    if (!spun) {
      spin.Pausing();
      // Without room, delivery sets wake once the queue has drained to half; bounded all the same.
      waited = poller.Wait(dataUp && !haveRoom ? kBackpressurePollMs : -1);
      if (poller.Readable(dataSlot)) spin.Resuming();
    }
    if (!waited) {
      // Nothing more can be read: supervision must hear of it, or the link stays up but deaf.
      if (!link->hStopListen.IsSet()) lib.linkLost.store(1, std::memory_order_release);
      link->hStopListen.Set();
      return;
    }
    if (link->hStopListen.IsSet()) return;

    if (poller.Readable(alarmSlot)) {
      const platform::IoResult r = link->sockAlarm.Receive(alarmBuf, sizeof alarmBuf);
      if (r.status == platform::IoStatus::kOk) {
        Tap(lib_, TapDirection::kReceived, TapChannel::kAlarm, alarmBuf, r.bytes);
        platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
        if (lib.alarmModule != nullptr) {
          lib.alarmModule->ProcPcCommMsgAlarm(reinterpret_cast<char*>(alarmBuf),
                                              static_cast<int>(r.bytes));
        }
      } else if (r.status != platform::IoStatus::kWouldBlock) {
        // A closed or failed alarm connection is a lost link; stop polling it.
        alarmOpen = false;
        alarmUp_.store(false, std::memory_order_release);
        lib.linkLost.store(1, std::memory_order_release);
      }
    }

    if (poller.Readable(dataSlot)) {
      // A full read means more is probably waiting: read on, a bounded number of times, before
      // going back to the wait that also serves the alarm socket and the stop event.
      for (int burst = 0; burst < kReadBurst; ++burst) {
        const platform::IoResult r = link->sockData.Receive(dataBuf, sizeof dataBuf);
        if (r.status == platform::IoStatus::kWouldBlock) break;
        if (r.status != platform::IoStatus::kOk) {
          dataOpen = false;
          lib.linkLost.store(1, std::memory_order_release);
          TapEvent(lib_, TapDirection::kClosed, TapChannel::kData);
          dataSeen = false;
          break;
        }
        Counters::Add(lib.counters.bytesReceived, r.bytes);
        Tap(lib_, TapDirection::kReceived, TapChannel::kData, dataBuf, r.bytes);
        FrameSink sink{lib, *this, link->hStopListen};
        // A full read means more is waiting: the Msg proc threads take over, and reading goes
        // on while they decode, without the session lock.
        if (r.bytes < sizeof dataBuf && lib.handover.Empty()) {
          platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
          sink.dispatchHere = true;
          framer->Feed(dataBuf, r.bytes, sink);
        }
        {
          platform::LockGuard producer(lib.handover.producerMutex());
          if (!sink.dispatchHere) framer->Feed(dataBuf, r.bytes, sink);
          if (sink.queued > 0) NoteDepth(lib.counters, lib.handover.Publish());
          haveRoom = lib.handover.HasRoomForRead(kReadSize);
        }
        if (r.bytes < sizeof dataBuf || !haveRoom || link->hStopListen.IsSet()) break;
      }
    }
  }
}

}  // namespace scanlink::transport
