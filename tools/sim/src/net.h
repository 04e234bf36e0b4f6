// Thin wrappers over POSIX TCP sockets: listening, accepting, and one connection's buffered writes.
#pragma once

#include <cstdint>
#include <string>

#include "bytes.h"

namespace scanlink::sim {

// A non-blocking IPv4 listener with SO_REUSEADDR (a restarted listener must get its port back at
// once). Returns -1 and sets error on failure.
int open_listener(const std::string& address, std::uint16_t port, std::string& error);
std::uint16_t local_port(int fd);
// Accepts one pending connection as a non-blocking socket with TCP_NODELAY; -1 if none is pending.
int accept_connection(int listener, std::string& peer);

class Connection {
 public:
  enum class ReadStatus { kData, kWouldBlock, kClosed, kError };

  Connection(int fd, std::string peer);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  int fd() const { return fd_; }
  const std::string& peer() const { return peer_; }

  // Appends what the socket has (up to 64 KiB) to out.
  ReadStatus read_some(Bytes& out, std::string& error);

  // Queues bytes and writes as much as the socket takes now. False once the socket has failed.
  // With a chunk size set, bytes wait for the next flush, which writes them in pieces of at most
  // that size, one send() each: whatever was queued meanwhile shares pieces, so captures show
  // frames split across segments and several frames in one segment.
  bool send(ByteView bytes);
  bool flush();
  std::size_t queued() const { return out_.size() - out_start_; }

  void set_chunk(std::size_t bytes) { chunk_ = bytes; }

  // Unsent bytes still in the kernel's send queue (not yet taken by the peer).
  std::size_t kernel_queued() const;

  // Orderly close (FIN) after a last non-blocking attempt to write what is queued.
  void close();
  // Abortive close: SO_LINGER 0 makes the kernel answer with RST and drop anything unsent.
  void reset();

 private:
  int fd_;
  std::string peer_;
  Bytes out_;
  std::size_t out_start_ = 0;
  std::size_t chunk_ = 0;  // 0: write as much as the socket takes
};

}  // namespace scanlink::sim
