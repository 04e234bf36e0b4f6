#include "platform/socket.h"

// Order matters: winsock2.h brings windows.h as it needs it, the others need both, and the
// echo service's declarations (its functions are looked up at run time) need its types first.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <ipexport.h>
#include <icmpapi.h>
// clang-format on

#include <cstring>
#include <type_traits>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/fault.h"
#include "platform/icmp.h"

// Older headers lack the options of later Windows versions; the values are the system's.
#ifndef TCP_MAXRT
#define TCP_MAXRT 5
#endif
#ifndef TCP_KEEPCNT
#define TCP_KEEPCNT 16
#endif

namespace scanlink::platform {
namespace {

constexpr intptr_t kNone = -1;  // INVALID_SOCKET as an intptr_t

SOCKET S(intptr_t fd) { return static_cast<SOCKET>(fd); }

// Waits that must also see a cancel event, where the socket cannot be tied to an event of its
// own (another thread may be waiting on its network events): short select slices.
constexpr int kSliceMs = 10;

enum class Ready { kYes, kNo, kError };

// The socket's network event, created on first use; null when the system refuses one.
HANDLE NetEvent(void*& event) {
  if (event == nullptr) event = WSACreateEvent();
  if (event == WSA_INVALID_EVENT) event = nullptr;
  return event;
}

// A failed send or receive: WSAEWOULDBLOCK is no failure of the link.
IoResult Failed() {
  const int error = WSAGetLastError();
  if (error == WSAEWOULDBLOCK) return {IoStatus::kWouldBlock, 0, 0};
  return {IoStatus::kError, 0, error};
}

Ready SelectOnce(SOCKET s, bool write, int ms) {
  fd_set set, errors;
  FD_ZERO(&set);
  FD_ZERO(&errors);
  FD_SET(s, &set);
  FD_SET(s, &errors);
  timeval t{ms / 1000, (ms % 1000) * 1000};
  const int r = select(0, write ? nullptr : &set, write ? &set : nullptr, &errors, &t);
  if (r == SOCKET_ERROR) return Ready::kError;
  if (FD_ISSET(s, &errors)) return Ready::kError;
  return r > 0 ? Ready::kYes : Ready::kNo;
}

}  // namespace

bool SocketLibrary::Start(int major, int minor) {
  if (started_) return true;
  WSADATA data;
  started_ = WSAStartup(MAKEWORD(major, minor), &data) == 0;
  return started_;
}

void SocketLibrary::Stop() {
  if (!started_) return;
  WSACleanup();
  started_ = false;
}

TcpSocket::~TcpSocket() { Close(); }

bool TcpSocket::Open() {
  Close();
  if (CreationRefused(Resource::kSocket)) return false;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return false;
  // Not inherited by child processes.
  SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  fd_ = static_cast<intptr_t>(s);
  return true;
}

static bool SetBlocking(SOCKET s, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  return ioctlsocket(s, FIONBIO, &nonBlocking) == 0;
}

bool TcpSocket::Connect(uint32_t addrNetOrder, uint16_t port, int timeoutMs, const Event* cancel) {
  // A connect cancelled before it starts never reaches the peer.
  if (fd_ == kNone || (cancel != nullptr && cancel->IsSet())) return false;
  const SOCKET s = S(fd_);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addrNetOrder;
  if (NetEvent(netEvent_) == nullptr) return false;
  // Nobody else uses the socket before it is connected: its event can serve the connect.
  ResetEvent(netEvent_);
  if (WSAEventSelect(s, netEvent_, FD_CONNECT) != 0) return false;
  bool ok = connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  if (!ok && WSAGetLastError() == WSAEWOULDBLOCK) {
    HANDLE handles[2] = {netEvent_, cancel != nullptr ? cancel->Handle() : nullptr};
    const DWORD count = handles[1] != nullptr ? 2 : 1;
    const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
    if (WaitForMultipleObjects(count, handles, FALSE, wait) == WAIT_OBJECT_0) {
      WSANETWORKEVENTS events{};
      ok = WSAEnumNetworkEvents(s, netEvent_, &events) == 0 &&
           (events.lNetworkEvents & FD_CONNECT) != 0 && events.iErrorCode[FD_CONNECT_BIT] == 0;
    }
  }
  WSAEventSelect(s, nullptr, 0);
  SetBlocking(s, true);
  return ok;
}

bool TcpSocket::SetNonBlocking() { return fd_ != kNone && SetBlocking(S(fd_), false); }

bool TcpSocket::SetNoDelay() {
  BOOL one = TRUE;
  return fd_ != kNone && setsockopt(S(fd_), IPPROTO_TCP, TCP_NODELAY,
                                    reinterpret_cast<const char*>(&one), sizeof one) == 0;
}

bool TcpSocket::SetReceiveBuffer(int bytes) {
  return fd_ != kNone && setsockopt(S(fd_), SOL_SOCKET, SO_RCVBUF,
                                    reinterpret_cast<const char*>(&bytes), sizeof bytes) == 0;
}

bool TcpSocket::SetLinkTimeout(int boundMs) {
  if (fd_ == kNone || boundMs <= 0) return false;
  const SOCKET s = S(fd_);
  const KeepAlivePlan plan = PlanKeepAlive(boundMs);
  tcp_keepalive values{1, static_cast<u_long>(plan.idleMs), static_cast<u_long>(plan.intervalMs)};
  DWORD returned = 0;
  const bool keepAlive = WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0,
                                  &returned, nullptr, nullptr) == 0;
  // Windows 10 1703 on; before it the system's count is the plan's ten.
  const DWORD count = static_cast<DWORD>(plan.count);
  setsockopt(s, IPPROTO_TCP, TCP_KEEPCNT, reinterpret_cast<const char*>(&count), sizeof count);
  // Unacknowledged data: retransmission ends after this many whole seconds.
  const DWORD seconds = static_cast<DWORD>((boundMs + 999) / 1000);
  const bool retransmit = setsockopt(s, IPPROTO_TCP, TCP_MAXRT,
                                     reinterpret_cast<const char*>(&seconds), sizeof seconds) == 0;
  return keepAlive && retransmit;
}

static int Clamp(size_t size) { return size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size); }

IoResult TcpSocket::Receive(void* buffer, size_t size) {
  const int r = recv(S(fd_), static_cast<char*>(buffer), Clamp(size), 0);
  if (r > 0) return {IoStatus::kOk, static_cast<size_t>(r), 0};
  return r == 0 ? IoResult{IoStatus::kClosed, 0, 0} : Failed();
}

IoResult TcpSocket::Send(const void* data, size_t size) {
  const int r = send(S(fd_), static_cast<const char*>(data), Clamp(size), 0);
  return r != SOCKET_ERROR ? IoResult{IoStatus::kOk, static_cast<size_t>(r), 0} : Failed();
}

bool TcpSocket::WaitWritable(int timeoutMs, const Event* cancel) {
  if (fd_ == kNone) return false;
  const uint64_t deadline = TickMs() + static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (cancel != nullptr && cancel->IsSet()) return false;
    int slice = kSliceMs;
    if (timeoutMs >= 0) {
      const uint64_t now = TickMs();
      if (now >= deadline) return false;
      if (deadline - now < static_cast<uint64_t>(slice)) slice = static_cast<int>(deadline - now);
    }
    switch (SelectOnce(S(fd_), true, slice)) {
      case Ready::kYes:
        return true;
      case Ready::kError:
        return false;
      case Ready::kNo:
        break;
    }
  }
}

void TcpSocket::Shutdown() {
  if (fd_ != kNone) shutdown(S(fd_), SD_BOTH);
}

void TcpSocket::Close() {
  if (fd_ != kNone) {
    closesocket(S(fd_));
    fd_ = kNone;
  }
  if (netEvent_ != nullptr) {
    WSACloseEvent(netEvent_);
    netEvent_ = nullptr;
  }
}

IcmpSocket::~IcmpSocket() { Close(); }

namespace {

// The system's unprivileged echo service, from the module that holds it on every version.
struct EchoService {
  decltype(&IcmpCreateFile) create;
  decltype(&IcmpSendEcho) send;
  decltype(&IcmpCloseHandle) close;
};

EchoService Functions(void* library) {
  auto find = [library](auto& function, const char* name) {
    function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
        reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name)));
  };
  EchoService f{};
  find(f.create, "IcmpCreateFile");
  find(f.send, "IcmpSendEcho");
  find(f.close, "IcmpCloseHandle");
  return f;
}

}  // namespace

IcmpSocket::Kind IcmpSocket::Open(bool rawAllowed) {
  Close();
  // A raw socket needs administrator rights; the echo service does not.
  if (rawAllowed) {
    const SOCKET s = WSASocketW(AF_INET, SOCK_RAW, IPPROTO_ICMP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (s != INVALID_SOCKET) {
      SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
      fd_ = static_cast<intptr_t>(s);
      return kind_ = Kind::kRaw;
    }
  }
  // Loaded here rather than linked, so the library's imports stay those of every system.
  HMODULE library = LoadLibraryW(L"iphlpapi.dll");
  if (library == nullptr) return kind_ = Kind::kNone;
  const EchoService f = Functions(library);
  HANDLE handle = INVALID_HANDLE_VALUE;
  if (f.create != nullptr && f.send != nullptr && f.close != nullptr) handle = f.create();
  if (handle == INVALID_HANDLE_VALUE) {
    FreeLibrary(library);
    return kind_ = Kind::kNone;
  }
  echoLibrary_ = library;
  echoHandle_ = handle;
  return kind_ = Kind::kEchoService;
}

static int SetTimeout(intptr_t fd, int option, int ms) {
  if (fd == kNone) return WSAENOTSOCK;
  const DWORD value = static_cast<DWORD>(ms);
  return setsockopt(S(fd), SOL_SOCKET, option, reinterpret_cast<const char*>(&value),
                    sizeof value) == 0
             ? 0
             : WSAGetLastError();
}

// The echo service takes its time-out with each exchange.
int IcmpSocket::SetReceiveTimeout(int ms) {
  return kind_ == Kind::kEchoService ? 0 : SetTimeout(fd_, SO_RCVTIMEO, ms);
}
int IcmpSocket::SetSendTimeout(int ms) {
  return kind_ == Kind::kEchoService ? 0 : SetTimeout(fd_, SO_SNDTIMEO, ms);
}

bool IcmpSocket::SendTo(uint32_t addrNetOrder, const void* data, size_t size) {
  if (kind_ == Kind::kEchoService) {
    // Kept for the exchange, which sends the payload under the service's own header.
    if (data == nullptr || size < kIcmpHeaderSize || size > sizeof request_) return false;
    std::memcpy(request_, data, size);
    requestSize_ = size;
    requestAddr_ = addrNetOrder;
    return true;
  }
  if (fd_ == kNone) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addrNetOrder;
  const int r = sendto(S(fd_), static_cast<const char*>(data), Clamp(size), 0,
                       reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  return r == static_cast<int>(size);
}

bool IcmpSocket::ReceiveEchoReply(uint32_t addrNetOrder, int timeoutMs) {
  if (kind_ == Kind::kEchoService) {
    if (requestSize_ == 0 || requestAddr_ != addrNetOrder || timeoutMs <= 0) return false;
    const size_t payload = requestSize_ - kIcmpHeaderSize;
    requestSize_ = 0;
    // Room for one reply with the whole payload, an ICMP error and the service's status block,
    // as the service asks.
    alignas(ICMP_ECHO_REPLY) unsigned char
        replies[sizeof(ICMP_ECHO_REPLY) + sizeof request_ + 8 + 2 * sizeof(void*)];
    const EchoService f = Functions(echoLibrary_);
    const DWORD n = f.send(static_cast<HANDLE>(echoHandle_), addrNetOrder,
                           request_ + kIcmpHeaderSize, static_cast<WORD>(payload), nullptr, replies,
                           sizeof replies, static_cast<DWORD>(timeoutMs));
    if (n == 0) return false;
    const auto* reply = reinterpret_cast<const ICMP_ECHO_REPLY*>(replies);
    return IsEchoServiceReply(reply->Status, reply->Address, addrNetOrder);
  }
  if (fd_ == kNone) return false;
  const uint64_t deadline = TickMs() + static_cast<uint64_t>(timeoutMs);
  char buf[1024];
  for (;;) {
    const uint64_t now = TickMs();
    if (now >= deadline) return false;
    const Ready ready = SelectOnce(S(fd_), false, static_cast<int>(deadline - now));
    if (ready == Ready::kError) return false;
    if (ready == Ready::kNo) continue;
    sockaddr_in from{};
    int fromLen = sizeof from;
    const int n =
        recvfrom(S(fd_), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      // A datagram larger than the buffer still counts as received.
      if (error == WSAEMSGSIZE) continue;
      return false;
    }
    if (from.sin_addr.s_addr != addrNetOrder) continue;
    // A raw socket hands over the IP header too.
    if (IsEchoReply(reinterpret_cast<const uint8_t*>(buf), static_cast<size_t>(n), true)) {
      return true;
    }
  }
}

void IcmpSocket::Close() {
  if (fd_ != kNone) {
    closesocket(S(fd_));
    fd_ = kNone;
  }
  if (echoHandle_ != nullptr) {
    Functions(echoLibrary_).close(static_cast<HANDLE>(echoHandle_));
    echoHandle_ = nullptr;
  }
  if (echoLibrary_ != nullptr) {
    FreeLibrary(static_cast<HMODULE>(echoLibrary_));
    echoLibrary_ = nullptr;
  }
  requestSize_ = 0;
  kind_ = Kind::kNone;
}

bool Poller::Wait(int timeoutMs) {
  HANDLE handles[8];
  DWORD count = 0;
  fd_set readable, errors;
  FD_ZERO(&readable);
  FD_ZERO(&errors);
  bool sockets = false;
  for (int i = 0; i < count_; ++i) {
    Entry& e = entries_[i];
    e.ready = false;
    if (e.event != nullptr) {
      if (e.event->Handle() == nullptr) return false;
      handles[count++] = e.event->Handle();
      continue;
    }
    auto* socket = const_cast<TcpSocket*>(e.socket);
    if (NetEvent(socket->netEvent_) == nullptr) return false;
    // Tied afresh on every wait, before the readiness check below: bytes that arrive after the
    // check signal the event, bytes already there are found by the check.
    ResetEvent(socket->netEvent_);
    if (WSAEventSelect(S(socket->fd_), socket->netEvent_, FD_READ | FD_CLOSE) != 0) return false;
    handles[count++] = socket->netEvent_;
    FD_SET(S(socket->fd_), &readable);
    FD_SET(S(socket->fd_), &errors);
    sockets = true;
  }
  auto collect = [&]() -> bool {
    fd_set r = readable, x = errors;
    timeval zero{0, 0};
    if (sockets && select(0, &r, nullptr, &x, &zero) == SOCKET_ERROR) return false;
    bool any = false;
    for (int i = 0; i < count_; ++i) {
      Entry& e = entries_[i];
      // An error is reported as readable: the read that follows tells what happened.
      e.ready = e.event != nullptr
                    ? e.event->IsSet()
                    : FD_ISSET(S(e.socket->fd_), &r) || FD_ISSET(S(e.socket->fd_), &x);
      any = any || e.ready;
    }
    return any;
  };
  if (count == 0) {
    SleepMs(timeoutMs);
    return true;
  }
  // Level first: what is ready now needs no wait.
  if (sockets && collect()) return true;
  const DWORD wait = timeoutMs < 0 ? INFINITE : static_cast<DWORD>(timeoutMs);
  const DWORD r = WaitForMultipleObjects(count, handles, FALSE, wait);
  if (r == WAIT_FAILED) return false;
  if (r == WAIT_TIMEOUT) return true;
  collect();
  return true;
}

}  // namespace scanlink::platform
