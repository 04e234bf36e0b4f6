// IPv4 TCP sockets, the ICMP echo socket and a readiness wait over several handles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

namespace scanlink::platform {

class Event;

// A dotted-decimal IPv4 address; nullopt when the text is not one. Network byte order.
std::optional<uint32_t> ParseIpv4(const char* text);
// The classic address conversion: also accepts the shorter and hex/octal forms, and gives
// 0xFFFFFFFF for a text it cannot convert. Host byte order, first number most significant.
uint32_t InetAddrHostOrder(const char* text);

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
  TcpSocket(TcpSocket&& other) noexcept;
  TcpSocket& operator=(TcpSocket&& other) noexcept;
  TcpSocket(const TcpSocket&) = delete;
  TcpSocket& operator=(const TcpSocket&) = delete;

  // Creates the socket; false when the system refuses one.
  bool Open();
  bool IsOpen() const { return fd_ >= 0; }
  // Connects to addr:port (addr in network order), waiting at most timeoutMs; cancel, when it
  // becomes set, ends the wait at once. The socket is blocking again afterwards.
  bool Connect(uint32_t addrNetOrder, uint16_t port, int timeoutMs, const Event* cancel);
  bool SetNonBlocking();
  bool SetNoDelay();
  bool SetReceiveBuffer(int bytes);
  IoResult Receive(void* buffer, size_t size);
  IoResult Send(const void* data, size_t size);
  // Waits until the socket can take more bytes: true when writable within timeoutMs.
  bool WaitWritable(int timeoutMs, const Event* cancel);
  // Ends both directions; other threads blocked on the socket wake. The handle stays valid.
  void Shutdown();
  void Close();
  int Handle() const { return fd_; }

 private:
  int fd_ = -1;
};

// The reachability probe's socket: raw ICMP where allowed, else the system's unprivileged
// ICMP datagram socket, else none.
class IcmpSocket {
 public:
  enum class Kind { kNone, kRaw, kDatagram };
  IcmpSocket() = default;
  ~IcmpSocket();
  IcmpSocket(const IcmpSocket&) = delete;
  IcmpSocket& operator=(const IcmpSocket&) = delete;

  Kind Open();
  Kind kind() const { return kind_; }
  // 0 on success, else the system's error number.
  int SetReceiveTimeout(int ms);
  int SetSendTimeout(int ms);
  // Sends an ICMP message to addr (network order).
  bool SendTo(uint32_t addrNetOrder, const void* data, size_t size);
  // Waits up to timeoutMs for an echo reply from addr. A raw socket sees every ICMP message of
  // the host, the library's own requests on loopback included; only a reply counts.
  bool ReceiveEchoReply(uint32_t addrNetOrder, int timeoutMs);
  void Close();

 private:
  int fd_ = -1;
  Kind kind_ = Kind::kNone;
};

// Waits for readability on up to eight handles at once.
class Poller {
 public:
  void Clear() { count_ = 0; }
  // Returns the slot of the handle.
  int Add(int handle);
  // Waits up to timeoutMs (negative: no bound); false on an error other than an interruption.
  bool Wait(int timeoutMs);
  bool Readable(int slot) const;

 private:
  struct Entry {
    int fd;
    short revents;
  };
  Entry entries_[8];
  int count_ = 0;
};

}  // namespace scanlink::platform
