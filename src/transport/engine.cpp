#include "transport/engine.h"

#include <cstdio>

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

void CMyPcCommSocket::SetTimingsForNewEngines(const Timings& timings) {
  LibraryState& first = Library();
  platform::LockGuard guard(first.timingsMutex);
  first.nextEngineTimings = timings;
}

CMyPcCommSocket::Timings CMyPcCommSocket::TimingsForNewEngines() {
  LibraryState& first = Library();
  platform::LockGuard guard(first.timingsMutex);
  return first.nextEngineTimings;
}

CMyPcCommSocket::CMyPcCommSocket() : CMyPcCommSocket(Library(), TimingsForNewEngines()) {}

CMyPcCommSocket::CMyPcCommSocket(LibraryState& state, const Timings& timings)
    : lib_(state), timings_(timings) {
  LibraryState& lib = lib_;
  platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
  lib.trans.Init();
  lib.buffers.Init();
  lib.objects.Init();
  lib.alarmModule = nullptr;
  // A failure an earlier engine left behind is none of this one's.
  lib.linkLost.store(0, std::memory_order_release);
  // A failure is shown and the engine still exists: every bring-up then fails on its own.
  if (!sockets_.Start(1, 1) || !cancel_.Valid() || !maintainStop_.Valid()) {
    platform::UserMessage("Socket库初始化失败");
  }
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
  // Frames nobody will dispatch any more give their buffers back.
  LibraryState& lib = lib_;
  platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
  while (RecvBuffer* d = lib.msgQ.PopMsgQHead()) {
    delete[] d->pBuf;
    d->pBuf = nullptr;
    lib.buffers.FreeRecvBuffer(d->nIndex);
  }
}

bool CMyPcCommSocket::MayReap() const {
  // A module callback runs with the library lock held, and the workers may be waiting for it.
  return !lib_.lock.held_by_me();
}

void CMyPcCommSocket::RetireLink(uint32_t generation) {
  LibraryState& lib = lib_;
  std::shared_ptr<Link> link;
  {
    platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
    if (link_ && (generation == kCurrentLink || link_->generation == generation)) {
      link = std::move(link_);
      link->hStopListen.Set();
      link->hStopProcOne.Set();
      link->hStopProcTwo.Set();
      link->sockData.Shutdown();
      link->sockAlarm.Shutdown();
      link->dataConnected.store(false, std::memory_order_release);
      link->alarmConnected.store(false, std::memory_order_release);
    }
  }
  lib.msgBell.RingAll();
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
  LibraryState& lib = lib_;
  platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
  int32_t index = lib.buffers.AllocRecvBuffer();
  if (index != 0) {
    RecvBuffer* marker = lib.buffers.Descriptor(index);
    marker->kind = RecvBuffer::Kind::kReclaim;
    marker->nIndex = index;
    marker->nGeneration = link.generation;
    lib.msgQ.PushMsgQTail(marker);
    lib.msgBell.Ring();
  } else {
    modules_.ReclaimTransactions(link.generation);
  }
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
  // After MyClose nothing opens a link again; a closed link is not reported as up.
  if (Closed()) {
    MyTrace("InitPcComm(): The connection has been closed!");
    return 1;
  }
  if (LoadGlobal(*lib_.values.linkDown) == 1) return 6;
  if (LoadGlobal(*lib_.values.initFinish) == 1) return 0;

  std::optional<BringUpLock> held;
  if (bringUp_.held_by_me()) {
    // A callback of this thread's own bring-up or reconnection.
    MyTrace("InitPcComm(): Another bring-up is running!");
    return 1;
  }
  if (lib_.lock.held_by_me()) {
    held = BringUpLock::Try(*this);
    if (!held) {
      MyTrace("InitPcComm(): Another bring-up is running!");
      return 1;
    }
  } else {
    held.emplace(*this);
  }
  // What the bring-up this call waited for left behind.
  if (Closed()) return 1;
  if (LoadGlobal(*lib_.values.linkDown) == 1) return 6;
  if (LoadGlobal(*lib_.values.initFinish) == 1) return 0;
  switch (BringUp(*held)) {
    case BringUpResult::kUp:
      return 0;
    case BringUpResult::kFailedConnect:
      return 2;
    case BringUpResult::kFailedOpen:
    case BringUpResult::kCancelled:
      break;
  }
  return 1;
}

CMyPcCommSocket::BringUpResult CMyPcCommSocket::BringUp(const BringUpLock& held) {
  LibraryState& lib = lib_;
  // Both describe the current bring-up only.
  connectOK_.store(0, std::memory_order_release);
  connectRetry_.store(0, std::memory_order_release);

  const bool first = LoadGlobal(*lib_.values.firstConn) == 0;
  if (first && !ReachabilityProbe()) {
    return Closed() ? BringUpResult::kCancelled : BringUpResult::kFailedOpen;
  }
  if (Closed()) return BringUpResult::kCancelled;

  // Cleared before the new link exists, not after it is up: a failure of the new link that
  // comes while the modules are being told it is back must not be wiped out.
  lib.linkLost.store(0, std::memory_order_release);
  uint32_t generation = kCurrentLink;
  if (!MyOpen(held, &generation)) {
    MyTrace("InitPcComm(): PcComm Communication Init Socket Error!");
    return Closed() ? BringUpResult::kCancelled : BringUpResult::kFailedOpen;
  }
  MyTrace("InitPcComm(): Open a socket successful!");

  bool connected = first && MyConnect();
  if (!connected) {
    while (connectRetry_.load(std::memory_order_relaxed) < 3 && !Closed()) {
      connectRetry_.fetch_add(1, std::memory_order_release);
      if (cancel_.Wait(timings_.retryPauseMs)) break;
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
    MyTrace("InitPcComm():TCP IP Connet Failure!");
    return BringUpResult::kFailedConnect;
  }

  bool alarm = false;
  for (int i = 0; i < 3 && !alarm && !Closed(); ++i) alarm = MyConnectAlarm();
  if (!alarm && !Closed()) MyTrace("InitPcComm():Connect alarm socket failure!");

  MyTrace("InitPcComm():Start link maintain process!");
  const bool up = Publish([&] {
    StartLinkMaintain();
    StoreGlobal(*lib_.values.initFinish, 1);
    StoreGlobal(*lib_.values.firstConn, 1);
  });
  if (!up) {
    RetireAndReap(held, generation);
    return BringUpResult::kCancelled;
  }
  MyTrace("InitPcComm():Start flow control process!");
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
  return lib_.linkTimeoutMs != 0 ? lib_.linkTimeoutMs : LinkTimeoutMs();
}

bool CMyPcCommSocket::ReachabilityProbe() {
  uint8_t packet[platform::kEchoRequestSize] = {};
  // Never ends the host process: without the socket library the bring-up fails.
  if (!probeSockets_.Start(2, 2)) {
    MyTrace("ReachabilityProbe(): WSAStartup Error!");
    platform::ConsoleMessage("WSAStartup Error!");
    return false;
  }
  const auto kind = sockIcmp.Open();
  if (kind == platform::IcmpSocket::Kind::kNone) {
    MyTrace("ReachabilityProbe(): No ICMP socket can be opened, probe skipped!");
    return true;
  }
  char text[64];
  if (const int error = sockIcmp.SetReceiveTimeout(timings_.probeTimeoutMs)) {
    std::snprintf(text, sizeof text, "failed to set recv timeout: %d", error);
    platform::ConsoleMessage(text);
  }
  if (const int error = sockIcmp.SetSendTimeout(timings_.probeTimeoutMs)) {
    std::snprintf(text, sizeof text, "failed to set send timeout: %d", error);
    platform::ConsoleMessage(text);
  }
  const auto addr = HostAddress();
  if (!addr) {
    MyTrace("ReachabilityProbe(): The host address is not valid!");
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
  if (!link->sockData.Open()) return false;
  if (!link->sockAlarm.Open()) return false;
  MyTrace("MyOpen(): PcComm Communication Init Socket Successful!");
  Link* l = link.get();
  {
    LibraryState& lib = lib_;
    platform::ScopedLock<platform::RecursiveMutex> guard(lib.lock);
    l->generation = nextGeneration_++;
    link_ = std::move(link);
  }
  *generation = l->generation;
  // A failed start takes this link down whole.
  if (!l->hThreadListen.Start([this, l] { ListenThreadProc(l); })) {
    RetireAndReap(held, *generation);
    return false;
  }
  MyTrace("MyOpen(): Create a listening thread successful!");
  if (!l->hThreadProcOne.Start([this, l] { MsgProcThreadProc(&l->hStopProcOne); })) {
    RetireAndReap(held, *generation);
    return false;
  }
  MyTrace("MyOpen(): Create a Msg proc thread One successful!");
  if (!l->hThreadProcTwo.Start([this, l] { MsgProcThreadProc(&l->hStopProcTwo); })) {
    RetireAndReap(held, *generation);
    return false;
  }
  MyTrace("MyOpen(): Create a Msg proc thread two successful!");
  return true;
}

CMyPcCommSocket::Link* CMyPcCommSocket::CurrentLink() {
  // Links are destroyed only by a thread holding bringUp_, as the caller does here.
  platform::ScopedLock<platform::RecursiveMutex> guard(lib_.lock);
  return link_.get();
}

bool CMyPcCommSocket::MyConnect() {
  Link* l = CurrentLink();
  if (l == nullptr) return false;
  const auto addr = HostAddress();
  if (!addr) return false;
  // A socket whose connect failed is not used again.
  if (!l->dataFresh && !l->sockData.Open()) return false;
  l->dataFresh = false;
  const uint16_t port = static_cast<uint16_t>(LoadGlobal(*lib_.values.tcpPort) & 0xFFFF);
  if (!l->sockData.Connect(*addr, port, timings_.connectTimeoutMs, &cancel_)) return false;
  l->sockData.SetNonBlocking();
  l->sockData.SetNoDelay();
  l->sockData.SetReceiveBuffer(65536);
  // A scanner that vanishes without closing anything fails the socket's reads in time.
  if (!l->sockData.SetLinkTimeout(SessionLinkTimeoutMs())) {
    MyTrace("MyConnect(): The link timeout could not be set in full!");
  }
  MyTrace("MyConnect(): Connect a socket sucessful!");
  // Before the first byte of it can be sent or read.
  TapEvent(TapDirection::kConnected, TapChannel::kData);
  l->dataConnected.store(true, std::memory_order_release);
  l->wake.Set();
  return true;
}

bool CMyPcCommSocket::MyConnectAlarm() {
  StoreGlobal(*lib_.values.tcpPortAlarm, lib_.alarmPort);
  Link* l = CurrentLink();
  if (l == nullptr) return false;
  const auto addr = HostAddress();
  if (!addr) return false;
  if (!l->alarmFresh && !l->sockAlarm.Open()) return false;
  l->alarmFresh = false;
  if (!l->sockAlarm.Connect(*addr, static_cast<uint16_t>(lib_.alarmPort), timings_.connectTimeoutMs,
                            &cancel_))
    return false;
  l->sockAlarm.SetNonBlocking();
  if (!l->sockAlarm.SetLinkTimeout(SessionLinkTimeoutMs())) {
    MyTrace("MyConnectAlarm(): The link timeout could not be set in full!");
  }
  l->alarmConnected.store(true, std::memory_order_release);
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
