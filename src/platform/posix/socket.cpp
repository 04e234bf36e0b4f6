#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/ip_icmp.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/fault.h"
#include "platform/icmp.h"

namespace scanlink::platform {

bool SocketLibrary::Start(int, int) { return started_ = true; }
void SocketLibrary::Stop() { started_ = false; }

TcpSocket::~TcpSocket() { Close(); }

bool TcpSocket::Open() {
  Close();
  if (CreationRefused(Resource::kSocket)) return false;
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  return fd_ >= 0;
}

static bool SetBlocking(intptr_t fd, bool blocking) {
  const int d = static_cast<int>(fd);
  int flags = fcntl(d, F_GETFL, 0);
  if (flags < 0) return false;
  flags = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return fcntl(d, F_SETFL, flags) == 0;
}

// Waits for events on fd, or for cancel; returns the revents, 0 on time-out or cancel.
static short WaitFor(int fd, short events, int timeoutMs, const Event* cancel) {
  const uint64_t deadline = TickMs() + static_cast<uint64_t>(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    if (cancel != nullptr && cancel->IsSet()) return 0;
    int left = -1;
    if (timeoutMs >= 0) {
      const uint64_t now = TickMs();
      if (now >= deadline) return 0;
      left = static_cast<int>(deadline - now);
    }
    pollfd p[2] = {{fd, events, 0}, {cancel != nullptr ? cancel->Handle() : -1, POLLIN, 0}};
    int r = poll(p, cancel != nullptr ? 2 : 1, left);
    if (r < 0) {
      if (errno == EINTR) continue;
      return POLLERR;
    }
    if (r > 0 && p[0].revents != 0) return p[0].revents;
  }
}

bool TcpSocket::Connect(uint32_t addrNetOrder, uint16_t port, int timeoutMs, const Event* cancel) {
  // A connect cancelled before it starts never reaches the peer.
  if (fd_ < 0 || (cancel != nullptr && cancel->IsSet())) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = addrNetOrder;
  SetBlocking(fd_, false);
  int r = connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  bool ok = r == 0;
  if (!ok && errno == EINPROGRESS) {
    short ev = WaitFor(fd_, POLLOUT, timeoutMs, cancel);
    if (ev != 0) {
      int err = 0;
      socklen_t len = sizeof err;
      ok = getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
  }
  SetBlocking(fd_, true);
  return ok;
}

bool TcpSocket::SetNonBlocking() { return fd_ >= 0 && SetBlocking(fd_, false); }

bool TcpSocket::SetNoDelay() {
  int one = 1;
  return fd_ >= 0 && setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
}

bool TcpSocket::SetReceiveBuffer(int bytes) {
  return fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) == 0;
}

bool TcpSocket::SetLinkTimeout(int boundMs) {
  if (fd_ < 0 || boundMs <= 0) return false;
  const int fd = static_cast<int>(fd_);
  const KeepAlivePlan plan = PlanKeepAlive(boundMs);
  // The keep-alive timers count whole seconds; the user time-out, in milliseconds, keeps the
  // bound (it ends probing too once nothing has been heard for that long).
  const int on = 1;
  const int idle = plan.idleMs / 1000 > 0 ? plan.idleMs / 1000 : 1;
  const int interval = plan.intervalMs / 1000 > 0 ? plan.intervalMs / 1000 : 1;
  const int count = plan.count;
  const unsigned user = static_cast<unsigned>(boundMs);
  return setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count) == 0 &&
         setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &user, sizeof user) == 0;
}

IoResult TcpSocket::Receive(void* buffer, size_t size) {
  for (;;) {
    ssize_t r = recv(fd_, buffer, size, 0);
    if (r > 0) return {IoStatus::kOk, static_cast<size_t>(r), 0};
    if (r == 0) return {IoStatus::kClosed, 0, 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::kWouldBlock, 0, 0};
    return {IoStatus::kError, 0, errno};
  }
}

IoResult TcpSocket::Send(const void* data, size_t size) {
  for (;;) {
    ssize_t r = send(fd_, data, size, MSG_NOSIGNAL);
    if (r >= 0) return {IoStatus::kOk, static_cast<size_t>(r), 0};
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {IoStatus::kWouldBlock, 0, 0};
    return {IoStatus::kError, 0, errno};
  }
}

bool TcpSocket::WaitWritable(int timeoutMs, const Event* cancel) {
  if (fd_ < 0) return false;
  short ev = WaitFor(fd_, POLLOUT, timeoutMs, cancel);
  return (ev & POLLOUT) != 0 && (ev & (POLLERR | POLLHUP)) == 0;
}

void TcpSocket::Shutdown() {
  if (fd_ >= 0) shutdown(fd_, SHUT_RDWR);
}

void TcpSocket::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
}

IcmpSocket::~IcmpSocket() { Close(); }

IcmpSocket::Kind IcmpSocket::Open(bool rawAllowed) {
  Close();
  if (rawAllowed) {
    fd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (fd_ >= 0) return kind_ = Kind::kRaw;
  }
  fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
  if (fd_ >= 0) return kind_ = Kind::kDatagram;
  return kind_ = Kind::kNone;
}

static int SetTimeout(int fd, int option, int ms) {
  if (fd < 0) return EBADF;
  timeval t{ms / 1000, (ms % 1000) * 1000};
  return setsockopt(fd, SOL_SOCKET, option, &t, sizeof t) == 0 ? 0 : errno;
}

int IcmpSocket::SetReceiveTimeout(int ms) { return SetTimeout(fd_, SO_RCVTIMEO, ms); }
int IcmpSocket::SetSendTimeout(int ms) { return SetTimeout(fd_, SO_SNDTIMEO, ms); }

bool IcmpSocket::SendTo(uint32_t addrNetOrder, const void* data, size_t size) {
  if (fd_ < 0) return false;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addrNetOrder;
  ssize_t r = sendto(fd_, data, size, 0, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  return r == static_cast<ssize_t>(size);
}

bool IcmpSocket::ReceiveEchoReply(uint32_t addrNetOrder, int timeoutMs) {
  if (fd_ < 0) return false;
  const uint64_t deadline = TickMs() + static_cast<uint64_t>(timeoutMs);
  uint8_t buf[1024];
  for (;;) {
    const uint64_t now = TickMs();
    if (now >= deadline) return false;
    pollfd p{static_cast<int>(fd_), POLLIN, 0};
    int r = poll(&p, 1, static_cast<int>(deadline - now));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    sockaddr_in from{};
    socklen_t fromLen = sizeof from;
    ssize_t n =
        recvfrom(fd_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &fromLen);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    if (from.sin_addr.s_addr != addrNetOrder) continue;
    // A raw socket hands over the IP header too.
    if (IsEchoReply(buf, static_cast<size_t>(n), kind_ == Kind::kRaw)) return true;
  }
}

void IcmpSocket::Close() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  kind_ = Kind::kNone;
}

bool Poller::Wait(int timeoutMs) {
  pollfd p[8];
  for (int i = 0; i < count_; ++i) {
    const Entry& e = entries_[i];
    p[i] = {e.socket != nullptr ? static_cast<int>(e.socket->Handle()) : e.event->Handle(), POLLIN,
            0};
  }
  for (;;) {
    int r = poll(p, static_cast<nfds_t>(count_), timeoutMs);
    if (r < 0 && errno == EINTR) continue;
    for (int i = 0; i < count_; ++i) entries_[i].ready = r > 0 && p[i].revents != 0;
    return r >= 0;
  }
}

}  // namespace scanlink::platform
