#include "bench_support.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace bench {

uint64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

uint64_t ProcessCpuNs() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

static CpuSplit Usage(int who) {
  rusage u{};
  getrusage(who, &u);
  auto ns = [](const timeval& t) {
    return static_cast<uint64_t>(t.tv_sec) * 1000000000u + static_cast<uint64_t>(t.tv_usec) * 1000u;
  };
  return {ns(u.ru_utime), ns(u.ru_stime)};
}

CpuSplit ProcessCpuSplit() { return Usage(RUSAGE_SELF); }
CpuSplit ThreadCpuSplit() { return Usage(RUSAGE_THREAD); }

static long StatusField(const char* path, const char* field) {
  FILE* f = std::fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  const size_t n = std::strlen(field);
  long value = -1;
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
      value = std::strtol(line + n + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return value;
}

long StatusKib(const char* field) { return StatusField("/proc/self/status", field); }

uint64_t ContextSwitches() {
  uint64_t total = 0;
  DIR* dir = opendir("/proc/self/task");
  if (dir == nullptr) return 0;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] == '.') continue;
    char path[300];
    std::snprintf(path, sizeof path, "/proc/self/task/%s/status", e->d_name);
    const long v = StatusField(path, "voluntary_ctxt_switches");
    const long nv = StatusField(path, "nonvoluntary_ctxt_switches");
    if (v > 0) total += static_cast<uint64_t>(v);
    if (nv > 0) total += static_cast<uint64_t>(nv);
  }
  closedir(dir);
  return total;
}

long FlagValue(int argc, char** argv, const char* name, long fallback) {
  const size_t n = std::strlen(name);
  for (int i = 1; i < argc; ++i) {
    const char* text = nullptr;
    if (std::strncmp(argv[i], name, n) == 0 && argv[i][n] == '=') {
      text = argv[i] + n + 1;
    } else if (std::strcmp(argv[i], name) == 0 && i + 1 < argc) {
      text = argv[i + 1];
    }
    if (text == nullptr) continue;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0) {
      std::fprintf(stderr, "%s: bad value '%s'\n", name, text);
      std::exit(2);
    }
    return v;
  }
  return fallback;
}

bool HasFlag(int argc, char** argv, const char* name) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return true;
  }
  return false;
}

void PrintFigure(const char* benchmark, const char* figure, const std::string& value,
                 const std::string& baseline, const std::string& goal, const char* met) {
  std::printf("figure|%s|%s|%s|%s|%s|%s\n", benchmark, figure, value.c_str(), baseline.c_str(),
              goal.c_str(), met);
  std::fflush(stdout);
}

std::string Format(const char* format, ...) {
  char buf[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

std::string Micros(double ns) { return Format("%.1f us", ns / 1000.0); }

double Percentile(const std::vector<uint64_t>& sorted, double p) {
  if (sorted.empty()) return 0;
  // Nearest rank: the smallest sample with at least p of the samples at or below it.
  size_t rank = static_cast<size_t>(std::ceil(p * static_cast<double>(sorted.size())));
  rank = std::clamp<size_t>(rank, 1, sorted.size());
  return static_cast<double>(sorted[rank - 1]);
}

bool WriteAll(int fd, const void* data, size_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool ReadExact(int fd, void* data, size_t size) {
  auto* p = static_cast<uint8_t*>(data);
  while (size > 0) {
    const ssize_t n = recv(fd, p, size, 0);
    if (n == 0) return false;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

bool LoopbackPair(int& connecting, int& accepted) {
  const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
      listen(listener, 1) != 0 || getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len)) {
    std::perror("loopback listener");
    if (listener >= 0) close(listener);
    return false;
  }
  connecting = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (connect(connecting, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    std::perror("loopback connect");
    close(listener);
    return false;
  }
  accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  close(listener);
  return accepted >= 0;
}

void SetNoDelay(int fd) {
  const int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

static int ListenOn(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const int one = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

static uint16_t LocalPort(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

Peer::Peer(uint16_t dataPort) {
  dataListen_ = ListenOn(dataPort);
  alarmListen_ = ListenOn(8050);
  stopFd_ = eventfd(0, EFD_CLOEXEC);
  if (dataListen_ < 0 || alarmListen_ < 0 || stopFd_ < 0) {
    std::fprintf(stderr,
                 "cannot listen on loopback (port 8050 taken? run inside tests/netns-run): %s\n",
                 std::strerror(errno));
    std::exit(1);
  }
  dataPort_ = LocalPort(dataListen_);
  alarmThread_ = std::thread([this] { AlarmLoop(); });
}

Peer::~Peer() {
  const uint64_t one = 1;
  if (write(stopFd_, &one, sizeof one) < 0) std::perror("eventfd");
  alarmThread_.join();
  close(dataListen_);
  close(alarmListen_);
  close(stopFd_);
}

int Peer::AcceptData(int timeoutMs) {
  pollfd p{dataListen_, POLLIN, 0};
  if (poll(&p, 1, timeoutMs) != 1) return -1;
  const int fd = accept4(dataListen_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return -1;
  SetNoDelay(fd);
  // A library that stops reading fails the run instead of hanging it.
  const timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  return fd;
}

void Peer::AlarmLoop() {
  std::vector<int> open;
  std::vector<pollfd> fds;
  char sink[4096];
  for (;;) {
    fds.clear();
    fds.push_back({stopFd_, POLLIN, 0});
    fds.push_back({alarmListen_, POLLIN, 0});
    for (int fd : open) fds.push_back({fd, POLLIN, 0});
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents != 0) {
      const int fd = accept4(alarmListen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) open.push_back(fd);
    }
    for (size_t i = 2; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      const ssize_t n = recv(fds[i].fd, sink, sizeof sink, MSG_DONTWAIT);
      if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
        close(fds[i].fd);
        open.erase(std::find(open.begin(), open.end(), fds[i].fd));
      }
    }
  }
  for (int fd : open) close(fd);
}

bool BringUp(CMyPcCommSocketClient& client, CMyPcCommInterface& module, Peer& peer, int& dataFd) {
  std::snprintf(gHostAddr, sizeof gHostAddr, "127.0.0.1");
  nTcpPort = peer.DataPort();
  if (!client.ClientRegisterModule(&module, 1)) {
    std::fprintf(stderr, "ClientRegisterModule failed\n");
    return false;
  }
  const int up = client.ClientInitPcComm();
  if (up != 0) {
    std::fprintf(stderr, "ClientInitPcComm returned %d\n", up);
    return false;
  }
  dataFd = peer.AcceptData(5000);
  if (dataFd < 0) {
    std::fprintf(stderr, "the library's data connection never arrived\n");
    return false;
  }
  return true;
}

ScanlinkCounters CountersNow() {
  ScanlinkCounters c{};
  ScanlinkReadCountersSized(&c, sizeof c);
  return c;
}

ScanlinkCounters CountersSince(const ScanlinkCounters& b) {
  const ScanlinkCounters a = CountersNow();
  ScanlinkCounters d{};
  d.framesReceived = a.framesReceived - b.framesReceived;
  d.bytesReceived = a.bytesReceived - b.bytesReceived;
  d.framesDelivered = a.framesDelivered - b.framesDelivered;
  d.droppedSync = a.droppedSync - b.droppedSync;
  d.droppedLength = a.droppedLength - b.droppedLength;
  d.droppedNoModule = a.droppedNoModule - b.droppedNoModule;
  d.droppedTransaction = a.droppedTransaction - b.droppedTransaction;
  d.bytesSkipped = a.bytesSkipped - b.bytesSkipped;
  d.framesOversized = a.framesOversized - b.framesOversized;
  d.sends = a.sends - b.sends;
  d.sendsFailed = a.sendsFailed - b.sendsFailed;
  d.linkLosses = a.linkLosses - b.linkLosses;
  d.reconnections = a.reconnections - b.reconnections;
  d.transactionsReclaimed = a.transactionsReclaimed - b.transactionsReclaimed;
  d.queueHighWater = a.queueHighWater;  // a level, not a count
  d.droppedReserved = a.droppedReserved - b.droppedReserved;
  return d;
}

void PutU16(std::vector<uint8_t>& out, uint16_t v) {
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
  PutU16(out, static_cast<uint16_t>(v >> 16));
  PutU16(out, static_cast<uint16_t>(v));
}

void AppendFrame(std::vector<uint8_t>& out, uint8_t moduleId, uint16_t code, uint16_t trans,
                 const std::vector<uint8_t>& payload) {
  uint8_t header[kHeaderSize];
  write_header(header, {kSync, moduleId, code, trans, static_cast<uint16_t>(payload.size())});
  out.insert(out.end(), header, header + kHeaderSize);
  out.insert(out.end(), payload.begin(), payload.end());
}

}  // namespace bench
