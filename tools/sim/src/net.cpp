#include "net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace scanlink::sim {

int open_listener(const std::string& address, std::uint16_t port, std::string& error) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  if (inet_pton(AF_INET, address.c_str(), &addr.sin_addr) != 1) {
    error = "not an IPv4 address: " + address;
    return -1;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 8) != 0) {
    error = "listen on " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

std::uint16_t local_port(int fd) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return 0;
  return ntohs(addr.sin_port);
}

int accept_connection(int listener, std::string& peer) {
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  int fd =
      ::accept4(listener, reinterpret_cast<sockaddr*>(&addr), &len, SOCK_NONBLOCK | SOCK_CLOEXEC);
  if (fd < 0) return -1;
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
  peer = std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
  return fd;
}

Connection::Connection(int fd, std::string peer) : fd_(fd), peer_(std::move(peer)) {}

Connection::~Connection() {
  if (fd_ >= 0) ::close(fd_);
}

Connection::ReadStatus Connection::read_some(Bytes& out, std::string& error) {
  std::uint8_t buf[65536];
  ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
  if (n > 0) {
    out.insert(out.end(), buf, buf + n);
    return ReadStatus::kData;
  }
  if (n == 0) return ReadStatus::kClosed;
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return ReadStatus::kWouldBlock;
  error = std::strerror(errno);
  return ReadStatus::kError;
}

bool Connection::send(ByteView bytes) {
  out_.insert(out_.end(), bytes.begin(), bytes.end());
  return chunk_ > 0 ? true : flush();
}

bool Connection::flush() {
  while (queued() > 0) {
    std::size_t piece = chunk_ > 0 ? std::min(chunk_, queued()) : queued();
    ssize_t n = ::send(fd_, out_.data() + out_start_, piece, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      out_start_ += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return false;
  }
  if (out_start_ == out_.size()) {
    out_.clear();
    out_start_ = 0;
  }
  return true;
}

std::size_t Connection::kernel_queued() const {
  int n = 0;
  if (::ioctl(fd_, SIOCOUTQ, &n) != 0) return 0;
  return static_cast<std::size_t>(n);
}

void Connection::close() {
  if (fd_ < 0) return;
  flush();
  // Unread input at close makes the kernel send RST instead of FIN; drain it so the close is
  // orderly.
  std::uint8_t sink[4096];
  for (int i = 0; i < 256 && ::recv(fd_, sink, sizeof sink, MSG_DONTWAIT) > 0; ++i) {
  }
  ::shutdown(fd_, SHUT_WR);
  ::close(fd_);
  fd_ = -1;
}

void Connection::reset() {
  if (fd_ < 0) return;
  if (chunk_ > 0) flush();  // what a plain send() would already have written
  linger lg{1, 0};
  ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
  ::close(fd_);
  fd_ = -1;
}

}  // namespace scanlink::sim
