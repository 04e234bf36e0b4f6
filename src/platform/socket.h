// IPv4 TCP sockets, the ICMP echo socket and a readiness wait over several handles.
// Descriptors and Windows SOCKET values both fit an intptr_t; -1 is "none" on either system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace scanlink::platform {

class Event;

// The system's socket library, registered while this lives (a no-op where sockets need no
// registration). Each successful Start is paired with one release.
class SocketLibrary {
 public:
  SocketLibrary() = default;
  ~SocketLibrary() { Stop(); }
  SocketLibrary(const SocketLibrary&) = delete;
  SocketLibrary& operator=(const SocketLibrary&) = delete;
  // Registers the version major.minor once; true when registered (now or before).
  bool Start(int major, int minor);
  void Stop();
  bool Started() const { return started_; }

 private:
  bool started_ = false;
};

// An IPv4 address as the socket calls take it (network byte order) from its host-order value,
// the first number most significant.
inline uint32_t ToNetworkOrder(uint32_t hostOrder) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(hostOrder >> 24),
                            static_cast<uint8_t>(hostOrder >> 16),
                            static_cast<uint8_t>(hostOrder >> 8), static_cast<uint8_t>(hostOrder)};
  uint32_t network;
  std::memcpy(&network, bytes, sizeof network);
  return network;
}

enum class IoStatus { kOk, kWouldBlock, kClosed, kError };

struct IoResult {
  IoStatus status;
  size_t bytes;  // bytes moved when kOk
  int error;     // system error number when kError
};

class TcpSocket {
 public:
  TcpSocket() = default;
  ~TcpSocket();
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Creates the socket; false when the system refuses one.
  bool Open();
  bool IsOpen() const { return fd_ != -1; }
  // Connects to addr:port (addr in network order), waiting at most timeoutMs; cancel, when it
  // becomes set, ends the wait at once. The socket is blocking again afterwards.
  bool Connect(uint32_t addrNetOrder, uint16_t port, int timeoutMs, const Event* cancel);
  bool SetNonBlocking();
  bool SetNoDelay();
  bool SetReceiveBuffer(int bytes);
  // A peer that stops answering (every segment lost, nothing closed) fails this socket's reads
  // within about boundMs, whether the connection is idle or holds unacknowledged data: short
  // keep-alive timers and a bound on retransmission, for this socket alone. A live peer that
  // answers the probes or acknowledges the data is never failed. False when the system refused
  // a part of it.
  bool SetLinkTimeout(int boundMs);
  IoResult Receive(void* buffer, size_t size);
  IoResult Send(const void* data, size_t size);
  // Waits until the socket can take more bytes: true when writable within timeoutMs.
  bool WaitWritable(int timeoutMs, const Event* cancel);
  // Ends both directions; other threads blocked on the socket wake. The handle stays valid.
  void Shutdown();
  void Close();
  intptr_t Handle() const { return fd_; }

 private:
  intptr_t fd_ = -1;
#if defined(_WIN32)
  // Signalled by the socket's network events while a Poller waits on it.
  void* netEvent_ = nullptr;
  friend class Poller;
#endif
};

// The keep-alive timers behind TcpSocket::SetLinkTimeout: the first probe after idleMs of
// silence, then one every intervalMs, count of them unanswered before the connection fails.
// Together they take boundMs, so the bound holds where the probe count cannot be set.
struct KeepAlivePlan {
  int idleMs;
  int intervalMs;
  int count;
};
constexpr KeepAlivePlan PlanKeepAlive(int boundMs) {
  return {boundMs / 2, boundMs / 20 > 0 ? boundMs / 20 : 1, 10};
}

// The reachability probe: raw ICMP where allowed, else the system's unprivileged ICMP datagram
// socket (Linux) or echo service (Windows), else none.
class IcmpSocket {
 public:
  enum class Kind { kNone, kRaw, kDatagram, kEchoService };
  IcmpSocket() = default;
  ~IcmpSocket();
  IcmpSocket(const IcmpSocket&) = delete;
  IcmpSocket& operator=(const IcmpSocket&) = delete;

  // rawAllowed false skips the raw socket, as for a user without the right to one.
  Kind Open(bool rawAllowed = true);
  Kind kind() const { return kind_; }
  // 0 on success, else the system's error number.
  int SetReceiveTimeout(int ms);
  int SetSendTimeout(int ms);
  // Sends an ICMP echo request (a whole message, header included) to addr (network order). The
  // echo service sends the same payload under its own header, in ReceiveEchoReply.
  bool SendTo(uint32_t addrNetOrder, const void* data, size_t size);
  // Waits up to timeoutMs for an echo reply from addr. A raw socket sees every ICMP message of
  // the host, the library's own requests on loopback included; only a reply counts.
  bool ReceiveEchoReply(uint32_t addrNetOrder, int timeoutMs);
  void Close();

 private:
  intptr_t fd_ = -1;
  Kind kind_ = Kind::kNone;
#if defined(_WIN32)
  void* echoLibrary_ = nullptr;  // the module of the echo service, loaded while in use
  void* echoHandle_ = nullptr;
  uint8_t request_[1024] = {};  // the request SendTo handed over, sent by ReceiveEchoReply
  size_t requestSize_ = 0;
  uint32_t requestAddr_ = 0;
#endif
};

// Whether a Poller::Wait(0) is one cheap system call, so a thread may look again and again for
// a moment before it sleeps. On Windows each look re-arms every socket's event (under Wine, calls
// to its server).
#if defined(_WIN32)
constexpr bool kPollLookIsCheap = false;
#else
constexpr bool kPollLookIsCheap = true;
#endif

// Waits for readability on up to eight sockets and events at once.
class Poller {
 public:
  void Clear() { count_ = 0; }
  // Return the slot of the socket or event; -1 when full.
  int Add(const TcpSocket& socket) { return Add({&socket, nullptr, false}); }
  int Add(const Event& event) { return Add({nullptr, &event, false}); }
  // Waits up to timeoutMs (negative: no bound); false on an error other than an interruption.
  bool Wait(int timeoutMs);
  bool Readable(int slot) const { return slot >= 0 && slot < count_ && entries_[slot].ready; }

 private:
  struct Entry {
    const TcpSocket* socket;  // or null for an event
    const Event* event;
    bool ready;
  };
  int Add(const Entry& entry) {
    if (count_ >= 8) return -1;
    entries_[count_] = entry;
    return count_++;
  }
  Entry entries_[8];
  int count_ = 0;
};

}  // namespace scanlink::platform
