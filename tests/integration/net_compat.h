// Sockets for the test peers on both systems: one set of names, BSD sockets or Winsock below.
// Included by .cpp files only, so the system's socket headers stay out of the test headers.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace scanlink::test::net {

#if defined(_WIN32)
using Socket = SOCKET;
using PollFd = WSAPOLLFD;
constexpr int kNoSignal = 0;
inline bool Valid(Socket s) { return s != INVALID_SOCKET; }
inline void Close(Socket s) { closesocket(s); }
inline int Poll(PollFd* p, size_t n, int ms) { return WSAPoll(p, static_cast<ULONG>(n), ms); }
inline bool WouldBlock() { return WSAGetLastError() == WSAEWOULDBLOCK; }
inline bool Interrupted() { return false; }
inline bool SetNonBlocking(Socket s) {
  u_long one = 1;
  return ioctlsocket(s, FIONBIO, &one) == 0;
}
// The test program's own registration, for the life of the process.
inline bool Start() {
  static const bool started = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}
#else
using Socket = int;
using PollFd = pollfd;
constexpr int kNoSignal = MSG_NOSIGNAL;
inline bool Valid(Socket s) { return s >= 0; }
inline void Close(Socket s) { close(s); }
inline int Poll(PollFd* p, size_t n, int ms) { return poll(p, static_cast<nfds_t>(n), ms); }
inline bool WouldBlock() { return errno == EAGAIN || errno == EWOULDBLOCK; }
inline bool Interrupted() { return errno == EINTR; }
inline bool SetNonBlocking(Socket s) {
  return fcntl(s, F_SETFL, fcntl(s, F_GETFL, 0) | O_NONBLOCK) == 0;
}
inline bool Start() { return true; }
#endif

// New sockets and accepted connections are not inherited by child processes.
inline Socket NewSocket(int type, int protocol = 0) {
#if defined(_WIN32)
  const Socket s = socket(AF_INET, type, protocol);
  if (Valid(s)) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
#else
  return socket(AF_INET, type | SOCK_CLOEXEC, protocol);
#endif
}
inline Socket Accept(Socket listener) {
#if defined(_WIN32)
  const Socket s = accept(listener, nullptr, nullptr);
  if (Valid(s)) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
  return s;
#else
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#endif
}

// Lets a listener bind a port whose last connections are still in TIME_WAIT. Windows allows
// that by default, and its SO_REUSEADDR would let two listeners share the port.
inline void AllowReuse([[maybe_unused]] Socket s) {
#if !defined(_WIN32)
  int one = 1;
  setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
}

// Handles are kept as intptr_t outside this header; -1 is none on both systems.
inline Socket FromHandle(intptr_t h) { return static_cast<Socket>(h); }
inline intptr_t ToHandle(Socket s) { return Valid(s) ? static_cast<intptr_t>(s) : -1; }

inline long Send(Socket s, const void* data, size_t size) {
  return send(s, static_cast<const char*>(data), static_cast<int>(size), kNoSignal);
}
inline long Recv(Socket s, void* data, size_t size) {
  return recv(s, static_cast<char*>(data), static_cast<int>(size), 0);
}

}  // namespace scanlink::test::net
