#include "transport/engine.h"

#include "codec/text.h"
#include "platform/clock.h"
#include "platform/icmp.h"
#include "platform/process.h"
#include "transport/library_state.h"
#include "transport/link.h"
#include "transport/link_timeout.h"
#include "transport/trace.h"
#include "transport/wire_tap.h"

namespace scanlink::transport {

CMyPcCommSocket::CMyPcCommSocket(LibraryState& state, const Timings& timings)
    : lib_(state), timings_(timings) {
  // ReadyForEngine allocated the hand-over. The engine still exists without it or the others:
  // every bring-up then fails, saying why.
  ready_ =
      lib_.handover.Allocated() && sockets_.Start(1, 1) && cancel_.Valid() && maintainStop_.Valid();
  if (ready_) return;
  MyTrace(
      lib_, kTraceError,
      "CMyPcCommSocket(): The socket library, an event or the receive queue could not be set up!");
}

CMyPcCommSocket::~CMyPcCommSocket() {
  // Destroy: from here on nothing is opened or published, a bring-up in progress is cancelled.
  cancel_.Set();
  maintainStop_.Set();
  maintain_.Join();
  {
    BringUpLock held(*this);
    RetireAndReap(held, kCurrentLink);
    sockIcmp.Close();
    probeSockets_.Stop();
  }
  // Frames nobody will dispatch any more are forgotten.
  platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
  lib_.handover.Clear();
}

bool CMyPcCommSocket::MayReap() const {
  // A module callback runs with the library lock held, and the workers may be waiting for it.
  return !lib_.lock.held_by_me();
}

void CMyPcCommSocket::RetireLink(uint32_t generation) {
  std::shared_ptr<Link> link;
  {
    platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
    if (link_ && (generation == kCurrentLink || link_->generation == generation)) {
      link = std::move(link_);
      link->hStopListen.Set();
      link->hStopProcOne.Set();
      link->hStopProcTwo.Set();
      link->sockData.Shutdown();
      link->sockAlarm.Shutdown();
      link->dataConnected.store(false, std::memory_order_release);
      link->alarmConnected.store(false, std::memory_order_release);
      alarmUp_.store(false, std::memory_order_release);
    }
  }
  lib_.handover.WakeAll();
  if (!link) return;
  platform::LockGuard guard(retiredMutex_);
  retired_.push_back(std::move(link));
}

void CMyPcCommSocket::RetireAndReap(const BringUpLock& held, uint32_t generation) {
  RetireLink(generation);
  // Inside a callback the workers may be waiting for this thread's lock: the next bring-up or
  // the destructor reaps them.
  if (MayReap()) ReapRetired(held);
}

void CMyPcCommSocket::ReapLink(Link& link) {
  if (link.reaped) return;
  link.hThreadListen.Join();
  link.hThreadProcOne.Join();
  link.hThreadProcTwo.Join();
  link.reaped = true;
  // No frame of this connection can arrive any more; once those already queued are
  // dispatched, requests still open on it will never be answered.
  platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
  bool queued;
  {
    platform::LockGuard producer(lib_.handover.producerMutex());
    queued = lib_.handover.PushReclaim(link.generation);
    lib_.handover.Publish();
  }
  if (!queued) modules_.ReclaimTransactions(link.generation);
}

void CMyPcCommSocket::ReapRetired(const BringUpLock&) {
  std::vector<std::shared_ptr<Link>> done;
  {
    platform::LockGuard guard(retiredMutex_);
    done.swap(retired_);
  }
  for (auto& link : done) {
    if (link->hThreadListen.IsCurrent() || link->hThreadProcOne.IsCurrent() ||
        link->hThreadProcTwo.IsCurrent()) {
      platform::LockGuard guard(retiredMutex_);
      retired_.push_back(std::move(link));
      continue;
    }
    ReapLink(*link);
    // A send still writing holds the link: its sockets close when the last holder lets go.
    link.reset();
  }
}

int CMyPcCommSocket::InitPcComm() {
  const ConnectResult result = Connect();
  return result == ConnectResult::kNoResources ? 1 : static_cast<int>(result);
}

CMyPcCommSocket::ConnectResult CMyPcCommSocket::Connect() {
  // After MyClose nothing opens a link again; a closed link is not reported as up.
  if (Closed()) {
    MyTrace(lib_, kTraceWarning, "InitPcComm(): The connection has been closed!");
    return ConnectResult::kFailed;
  }
  if (LoadGlobal(*lib_.values.linkDown) == 1) return ConnectResult::kLinkDown;
  if (LoadGlobal(*lib_.values.initFinish) == 1) return ConnectResult::kUp;
  if (!ready_) return ConnectResult::kNoResources;

  // Held by this thread: a callback of its own bring-up or reconnection. A callback of
  // another's may not wait for it.
  std::optional<BringUpLock> held;
  if (!bringUp_.held_by_me()) {
    if (lib_.lock.held_by_me()) {
      held = BringUpLock::Try(*this);
    } else {
      held.emplace(*this);
    }
  }
  if (!held) {
    MyTrace(lib_, kTraceWarning, "InitPcComm(): Another bring-up is running!");
    return ConnectResult::kFailed;
  }
  // What the bring-up this call waited for left behind.
  if (Closed()) return ConnectResult::kFailed;
  if (LoadGlobal(*lib_.values.linkDown) == 1) return ConnectResult::kLinkDown;
  if (LoadGlobal(*lib_.values.initFinish) == 1) return ConnectResult::kUp;
  switch (BringUp(*held)) {
    case BringUpResult::kUp:
      return ConnectResult::kUp;
    case BringUpResult::kFailedConnect:
      return ConnectResult::kFailedConnect;
    case BringUpResult::kNoResources:
      return ConnectResult::kNoResources;
    case BringUpResult::kFailedOpen:
    case BringUpResult::kCancelled:
      break;
  }
  return ConnectResult::kFailed;
}

CMyPcCommSocket::BringUpResult CMyPcCommSocket::BringUp(const BringUpLock& held) {
  // Both describe the current bring-up only.
  connectOK_.store(0, std::memory_order_release);
  connectRetry_.store(0, std::memory_order_release);

  const int budgetMs = lib_.connectTimeoutMs.load(std::memory_order_relaxed);
  connectDeadline_ = budgetMs > 0 ? platform::TickMs() + static_cast<uint64_t>(budgetMs) : 0;

  const bool first = LoadGlobal(*lib_.values.firstConn) == 0;
  if (first && !ReachabilityProbe()) {
    return Closed() ? BringUpResult::kCancelled : BringUpResult::kFailedOpen;
  }
  if (Closed()) return BringUpResult::kCancelled;

  // Cleared before the new link exists, not after it is up: a failure of the new link that
  // comes while the modules are being told it is back must not be wiped out.
  lib_.linkLost.store(0, std::memory_order_release);
  uint32_t generation = kCurrentLink;
  if (!MyOpen(held, &generation)) {
    MyTrace(lib_, kTraceError, "InitPcComm(): PcComm Communication Init Socket Error!");
    return Closed() ? BringUpResult::kCancelled : BringUpResult::kNoResources;
  }
  MyTrace(lib_, kTraceInfo, "InitPcComm(): Open a socket successful!");

  bool connected = first && MyConnect();
  if (!connected) {
    while (connectRetry_.load(std::memory_order_relaxed) < 3 && !Closed()) {
      const int leftMs = ConnectAttemptMs();
      if (leftMs == 0) break;
      connectRetry_.fetch_add(1, std::memory_order_release);
      if (cancel_.Wait(leftMs < timings_.retryPauseMs ? leftMs : timings_.retryPauseMs)) break;
      if (MyConnect()) {
        connectOK_.store(1, std::memory_order_release);
        break;
      }
    }
    connected = connectOK_.load(std::memory_order_relaxed) == 1;
  }
  if (Closed()) {
    RetireAndReap(held, generation);
    return BringUpResult::kCancelled;
  }
  if (!connected) {
    connectRetry_.store(0, std::memory_order_release);
    // Whoever started this bring-up, its threads end and its sockets close here.
    RetireAndReap(held, generation);
    MyTrace(lib_, kTraceError, "InitPcComm():TCP IP Connet Failure!");
    return BringUpResult::kFailedConnect;
  }

  bool alarm = false;
  for (int i = 0; i < 3 && !alarm && !Closed(); ++i) alarm = MyConnectAlarm();
  if (!alarm && !Closed())
    MyTrace(lib_, kTraceWarning, "InitPcComm():Connect alarm socket failure!");

  MyTrace(lib_, kTraceInfo, "InitPcComm():Start link maintain process!");
  // A link nobody supervises would never be noticed lost: without the thread it is not up.
  bool supervised = false;
  const bool up = Publish([&] {
    supervised = StartLinkMaintain();
    if (!supervised) return;
    StoreGlobal(*lib_.values.initFinish, 1);
    StoreGlobal(*lib_.values.firstConn, 1);
  });
  if (!up || !supervised) {
    RetireAndReap(held, generation);
    return up ? BringUpResult::kNoResources : BringUpResult::kCancelled;
  }
  MyTrace(lib_, kTraceInfo, "InitPcComm():Start flow control process!");
  return BringUpResult::kUp;
}

std::optional<uint32_t> CMyPcCommSocket::HostAddress() const {
  // The application may write the address from its own threads without a lock.
  char text[64] = {};
  const size_t size =
      lib_.values.hostAddrSize < sizeof text ? lib_.values.hostAddrSize : sizeof text - 1;
  for (size_t i = 0; i < size; ++i) {
    text[i] = std::atomic_ref<char>(lib_.values.hostAddr[i]).load(std::memory_order_relaxed);
  }
  const std::optional<uint32_t> address = codec::parse_ipv4_text(text);
  if (!address) return std::nullopt;
  return platform::ToNetworkOrder(*address);
}

int CMyPcCommSocket::SessionLinkTimeoutMs() const {
  const int session = lib_.linkTimeoutMs.load(std::memory_order_relaxed);
  return session != 0 ? session : LinkTimeoutMs();
}

int CMyPcCommSocket::ConnectAttemptMs() const {
  if (connectDeadline_ == 0) return timings_.connectTimeoutMs;
  const uint64_t now = platform::TickMs();
  if (now >= connectDeadline_) return 0;
  const uint64_t left = connectDeadline_ - now;
  return left < static_cast<uint64_t>(timings_.connectTimeoutMs) ? static_cast<int>(left)
                                                                 : timings_.connectTimeoutMs;
}

bool CMyPcCommSocket::ReachabilityProbe() {
  uint8_t packet[platform::kEchoRequestSize] = {};
  // Never ends the host process: without the socket library the bring-up fails.
  if (!probeSockets_.Start(2, 2)) {
    MyTrace(lib_, kTraceError, "ReachabilityProbe(): WSAStartup Error!");
    return false;
  }
  const auto kind = sockIcmp.Open();
  if (kind == platform::IcmpSocket::Kind::kNone) {
    MyTrace(lib_, kTraceWarning,
            "ReachabilityProbe(): No ICMP socket can be opened, probe skipped!");
    return true;
  }
  if (const int error = sockIcmp.SetReceiveTimeout(timings_.probeTimeoutMs)) {
    TraceF(lib_, kTraceWarning, "ReachabilityProbe(): failed to set recv timeout: %d", error);
  }
  if (const int error = sockIcmp.SetSendTimeout(timings_.probeTimeoutMs)) {
    TraceF(lib_, kTraceWarning, "ReachabilityProbe(): failed to set send timeout: %d", error);
  }
  const auto addr = HostAddress();
  if (!addr) {
    MyTrace(lib_, kTraceError, "ReachabilityProbe(): The host address is not valid!");
    return false;
  }
  const uint16_t pid = static_cast<uint16_t>(platform::ProcessId());
  for (uint16_t sequence = 0; sequence < 2; ++sequence) {
    platform::BuildEchoRequest(packet, pid, sequence, platform::Tick32());
    if (!sockIcmp.SendTo(*addr, packet, platform::kEchoRequestSize)) return false;
    if (!sockIcmp.ReceiveEchoReply(*addr, timings_.probeTimeoutMs)) return false;
  }
  return true;
}

bool CMyPcCommSocket::MyOpen(const BringUpLock& held, uint32_t* generation) {
  // A link left from an earlier bring-up never runs beside the new one.
  RetireAndReap(held, kCurrentLink);
  auto link = std::make_shared<Link>();
  // A stop event without a handle could not wake its thread, nor the wake event the listening
  // thread: the link would hang its teardown or never read.
  if (!link->hStopListen.Valid() || !link->hStopProcOne.Valid() || !link->hStopProcTwo.Valid() ||
      !link->wake.Valid()) {
    MyTrace(lib_, kTraceError, "MyOpen(): The events of a link could not be created!");
    return false;
  }
  if (!link->sockData.Open()) return false;
  if (!link->sockAlarm.Open()) return false;
  MyTrace(lib_, kTraceInfo, "MyOpen(): PcComm Communication Init Socket Successful!");
  Link* l = link.get();
  {
    platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
    l->generation = nextGeneration_++;
    link_ = std::move(link);
  }
  *generation = l->generation;
  // A failed start takes this link down whole.
  const auto start = [&](platform::Thread& thread, std::function<void()> body, const char* done) {
    if (!thread.Start(std::move(body))) {
      RetireAndReap(held, *generation);
      return false;
    }
    MyTrace(lib_, kTraceInfo, done);
    return true;
  };
  return start(
             l->hThreadListen, [this, l] { ListenThreadProc(l); },
             "MyOpen(): Create a listening thread successful!") &&
         start(
             l->hThreadProcOne, [this, l] { MsgProcThreadProc(&l->hStopProcOne); },
             "MyOpen(): Create a Msg proc thread One successful!") &&
         start(
             l->hThreadProcTwo, [this, l] { MsgProcThreadProc(&l->hStopProcTwo); },
             "MyOpen(): Create a Msg proc thread two successful!");
}

CMyPcCommSocket::Link* CMyPcCommSocket::CurrentLink() {
  // Links are destroyed only by a thread holding bringUp_, as the caller does here.
  platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
  return link_.get();
}

bool CMyPcCommSocket::AlarmConnected() const {
  return alarmUp_.load(std::memory_order_acquire) && !Closed();
}

bool CMyPcCommSocket::ConnectSocket(platform::TcpSocket& socket, bool& fresh, uint16_t port) {
  const auto addr = HostAddress();
  if (!addr) return false;
  // A socket whose connect failed is not used again.
  if (!fresh && !socket.Open()) return false;
  fresh = false;
  const int attemptMs = ConnectAttemptMs();
  if (attemptMs == 0) return false;
  if (!socket.Connect(*addr, port, attemptMs, &cancel_)) return false;
  socket.SetNonBlocking();
  return true;
}

bool CMyPcCommSocket::MyConnect() {
  Link* l = CurrentLink();
  const uint16_t port = static_cast<uint16_t>(LoadGlobal(*lib_.values.tcpPort) & 0xFFFF);
  if (l == nullptr || !ConnectSocket(l->sockData, l->dataFresh, port)) return false;
  l->sockData.SetNoDelay();
  l->sockData.SetReceiveBuffer(65536);
  // A scanner that vanishes without closing anything fails the socket's reads in time.
  if (!l->sockData.SetLinkTimeout(SessionLinkTimeoutMs())) {
    MyTrace(lib_, kTraceWarning, "MyConnect(): The link timeout could not be set in full!");
  }
  MyTrace(lib_, kTraceInfo, "MyConnect(): Connect a socket sucessful!");
  // Before the first byte of it can be sent or read.
  TapEvent(lib_, TapDirection::kConnected, TapChannel::kData);
  l->dataConnected.store(true, std::memory_order_release);
  l->wake.Set();
  return true;
}

bool CMyPcCommSocket::MyConnectAlarm() {
  StoreGlobal(*lib_.values.tcpPortAlarm, lib_.alarmPort);
  Link* l = CurrentLink();
  const auto port = static_cast<uint16_t>(lib_.alarmPort);
  if (l == nullptr || !ConnectSocket(l->sockAlarm, l->alarmFresh, port)) return false;
  if (!l->sockAlarm.SetLinkTimeout(SessionLinkTimeoutMs())) {
    MyTrace(lib_, kTraceWarning, "MyConnectAlarm(): The link timeout could not be set in full!");
  }
  l->alarmConnected.store(true, std::memory_order_release);
  alarmUp_.store(true, std::memory_order_release);
  l->wake.Set();
  return true;
}

void CMyPcCommSocket::Abandon() {
  // Nothing waited for: the link is retired, and reaped when the engine is destroyed.
  cancel_.Set();
  maintainStop_.Set();
  RetireLink(kCurrentLink);
}

void CMyPcCommSocket::MyClose() {
  // Cuts short a bring-up in progress; whoever holds the bring-up mutex publishes nothing more.
  cancel_.Set();
  if (MayReap()) {
    BringUpLock held(*this);
    RetireAndReap(held, kCurrentLink);
    sockIcmp.Close();
    probeSockets_.Stop();
  } else {
    // Inside a callback: the link is reaped by the destructor.
    RetireLink(kCurrentLink);
  }
}

}  // namespace scanlink::transport
