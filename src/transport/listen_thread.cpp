// The listening thread: the only reader of the two connections. Alarm bytes go to the alarm
// module as they come; data bytes are cut into frames, which a caught-up stream dispatches at
// once and a busy one queues for the Msg proc threads.
#include <cstring>
#include <new>

#include "codec/frame_header.h"
#include "codec/framer.h"
#include "platform/socket.h"
#include "transport/engine.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/trace.h"
#include "transport/wire_tap.h"

namespace scanlink::transport {
namespace {

constexpr size_t kReadSize = 4096;
// A read can complete at most this many frames: stop reading while fewer descriptors are free,
// and TCP flow control holds the peer instead of frames being dropped.
constexpr int kDescriptorsPerRead = kReadSize / codec::Framer::kHeader + 1;
constexpr int kBackpressurePollMs = 10;
constexpr int kReadBurst = 16;

// Dispatches or queues whole frames; runs with the library lock held.
struct QueueSink {
  LibraryState& lib;
  CMyPcCommSocket& engine;
  const platform::Event& stop;
  // The read was short: the stream is caught up, and a frame handed to a Msg proc thread would
  // cost two wake-ups on its way to the callback.
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
    if (dispatchHere && lib.msgQ.Empty() && !stop.IsSet()) {
      engine.MyDispatchData(frame, static_cast<int32_t>(length));
      return;
    }
    const int32_t index = lib.buffers.AllocRecvBuffer();
    if (index == 0) return;  // cannot happen while reads wait for free descriptors
    RecvBuffer* d = lib.buffers.Descriptor(index);
    // The frame's own length, not the largest frame's: a stream of reports runs ahead of dispatch
    // by thousands of frames, and blocks of 2056 bytes made the heap grow and shrink by megabytes,
    // page faults and all. Dispatch reads no byte past nLen.
    d->pBuf = new (std::nothrow) unsigned char[length];
    if (d->pBuf == nullptr) {
      lib.buffers.FreeRecvBuffer(index);
      MyTrace(lib, kTraceError, "In listen thread, alloc system memory failure");
      return;
    }
    d->kind = RecvBuffer::Kind::kFrame;
    d->nIndex = index;
    d->nLen = static_cast<int32_t>(length);
    std::memcpy(d->pBuf, frame, length);
    if (lib.msgQ.PushMsgQTail(d)) {
      TraceF(lib, kTraceWarning, "PushMsgQTail(): MsgQ overflow NUM = %d .",
             MsgQueue::kOverflowMark);
    }
    const uint64_t depth = static_cast<uint64_t>(lib.msgQ.Count());
    if (depth > lib.counters.queueHighWater.load(std::memory_order_relaxed)) {
      lib.counters.queueHighWater.store(depth, std::memory_order_relaxed);
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

}  // namespace

void CMyPcCommSocket::ListenThreadProc(Link* link) {
  LibraryState& lib = lib_;
  auto framer = std::make_unique<codec::Framer>();
  unsigned char dataBuf[kReadSize];
  unsigned char alarmBuf[kReadSize];
  bool dataOpen = true;  // until the peer closes it or a read fails
  bool alarmOpen = true;
  bool haveRoom = false;  // free descriptors for one more read; learnt while queuing
  platform::Poller poller;
  // The data connection's end, told once to the wire tap however this thread leaves.
  bool dataSeen = false;
  struct EndTap {
    LibraryState& lib;
    bool& seen;
    ~EndTap() {
      if (seen) TapEvent(lib, TapDirection::kClosed, TapChannel::kData);
    }
  } endTap{lib_, dataSeen};

  for (;;) {
    if (link->hStopListen.IsSet()) return;
    link->wake.Reset();
    const bool dataUp = dataOpen && link->dataConnected.load(std::memory_order_acquire);
    dataSeen = dataSeen || dataUp;
    const bool alarmUp = alarmOpen && link->alarmConnected.load(std::memory_order_acquire);
    if (!haveRoom) {
      platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
      haveRoom = lib.buffers.Available() >= kDescriptorsPerRead;
    }
    poller.Clear();
    poller.Add(link->hStopListen);
    poller.Add(link->wake);
    const int dataSlot = dataUp && haveRoom ? poller.Add(link->sockData) : -1;
    const int alarmSlot = alarmUp ? poller.Add(link->sockAlarm) : -1;
    // Without room the wait is bounded: descriptors come back as frames are dispatched.
    if (!poller.Wait(dataUp && !haveRoom ? kBackpressurePollMs : -1)) {
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
        QueueSink sink{lib, *this, link->hStopListen};
        // A full read means more is waiting: the Msg proc threads take over, and reading goes
        // on while they decode.
        sink.dispatchHere = r.bytes < sizeof dataBuf;
        {
          platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
          framer->Feed(dataBuf, r.bytes, sink);
          haveRoom = lib.buffers.Available() >= kDescriptorsPerRead;
        }
        // Rung outside the lock, so the woken thread finds it free.
        if (sink.queued > 0) lib.msgBell.Ring();
        if (r.bytes < sizeof dataBuf || !haveRoom || link->hStopListen.IsSet()) break;
      }
    }
  }
}

}  // namespace scanlink::transport
