// Time of ClientInitPcComm against a local peer: reachability probe, worker threads, data and
// alarm connections. Each run uses a fresh client, so every run probes. Beside it, the same
// network work done directly: two ICMP echo exchanges and the two TCP connects.
//
//   bench_bringup [--runs N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/ip_icmp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "bench_support.h"

namespace {

class SilentModule : public CMyPcCommInterface {
 public:
  void ProcPcCommMsg(CCmdManage&) override {}
};

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return sa;
}

uint16_t InternetChecksum(const uint8_t* p, size_t n) {
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  if (n % 2 != 0) sum += static_cast<uint32_t>(p[n - 1] << 8);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

// An ICMP socket of the kind this process may open: raw when privileged, datagram otherwise.
struct IcmpSocket {
  int fd = -1;
  bool raw = false;

  bool Open() {
    fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    raw = fd >= 0;
    if (fd < 0) fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
    return fd >= 0;
  }
  ~IcmpSocket() {
    if (fd >= 0) close(fd);
  }

  bool Echo(uint16_t sequence) {
    uint8_t packet[48] = {8, 0};
    const uint16_t id = static_cast<uint16_t>(getpid());
    packet[4] = static_cast<uint8_t>(id >> 8);
    packet[5] = static_cast<uint8_t>(id);
    packet[6] = static_cast<uint8_t>(sequence >> 8);
    packet[7] = static_cast<uint8_t>(sequence);
    std::memset(packet + 16, 0x45, 32);
    const uint16_t sum = InternetChecksum(packet, sizeof packet);
    packet[2] = static_cast<uint8_t>(sum >> 8);
    packet[3] = static_cast<uint8_t>(sum);
    const sockaddr_in to = Loopback(0);
    if (sendto(fd, packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) !=
        static_cast<ssize_t>(sizeof packet)) {
      return false;
    }
    const uint64_t deadline = bench::NowNs() + 500000000u;
    uint8_t reply[1024];
    for (;;) {
      const uint64_t now = bench::NowNs();
      if (now >= deadline) return false;
      pollfd p{fd, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>((deadline - now) / 1000000u) + 1) <= 0) return false;
      const ssize_t n = recv(fd, reply, sizeof reply, MSG_DONTWAIT);
      if (n <= 0) continue;
      size_t skip = raw ? static_cast<size_t>(reply[0] & 0x0F) * 4 : 0;  // raw: IP header first
      // On loopback a raw socket also sees the request itself.
      if (static_cast<size_t>(n) >= skip + 8 && reply[skip] == ICMP_ECHOREPLY) return true;
    }
  }
};

bool Connect(uint16_t port, int& fd) {
  fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_in sa = Loopback(port);
  return fd >= 0 && connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0;
}

double Median(std::vector<uint64_t> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : bench::Percentile(v, 0.5);
}

}  // namespace

int main(int argc, char** argv) {
  const long runs = std::max(1L, bench::FlagValue(argc, argv, "--runs", 20));
  bench::Peer peer;
  std::snprintf(gHostAddr, sizeof gHostAddr, "127.0.0.1");
  nTcpPort = peer.DataPort();

  IcmpSocket probe;
  const char* probeKind = !probe.Open() ? "none, skipped"
                          : probe.raw   ? "raw ICMP"
                                        : "datagram ICMP";
  const bool canProbe = probe.fd >= 0;

  std::vector<uint64_t> lib;
  std::vector<uint64_t> base;
  int failures = 0;
  for (long run = 0; run < runs; ++run) {
    {
      SilentModule module;
      CMyPcCommSocketClient client;
      client.ClientRegisterModule(&module, 1);
      const uint64_t t0 = bench::NowNs();
      const int up = client.ClientInitPcComm();
      const uint64_t t1 = bench::NowNs();
      if (up == 0) {
        lib.push_back(t1 - t0);
      } else {
        std::fprintf(stderr, "run %ld: ClientInitPcComm returned %d\n", run, up);
        ++failures;
      }
      const int fd = peer.AcceptData(up == 0 ? 5000 : 0);
      client.ExitConnection();
      if (fd >= 0) close(fd);
      client.ClientRegisterModule(&module, 0);
    }
    {
      const uint64_t t0 = bench::NowNs();
      IcmpSocket icmp;
      bool ok = !canProbe || (icmp.Open() && icmp.Echo(0) && icmp.Echo(1));
      int data = -1;
      int alarm = -1;
      ok = ok && Connect(peer.DataPort(), data) && Connect(8050, alarm);
      const uint64_t t1 = bench::NowNs();
      if (ok) {
        base.push_back(t1 - t0);
      } else {
        ++failures;
      }
      const int fd = peer.AcceptData(ok ? 5000 : 0);
      if (fd >= 0) close(fd);
      if (data >= 0) close(data);
      if (alarm >= 0) close(alarm);
    }
  }
  if (lib.empty() || base.empty()) return 1;

  auto show = [](const char* label, std::vector<uint64_t> v) {
    std::sort(v.begin(), v.end());
    std::printf("  %-34s %10s %10s %10s\n", label, bench::Micros(bench::Percentile(v, 0.5)).c_str(),
                bench::Micros(static_cast<double>(v.front())).c_str(),
                bench::Micros(static_cast<double>(v.back())).c_str());
  };
  std::printf("bench_bringup: %ld runs, probe: %s\n", runs, probeKind);
  std::printf("  %-34s %10s %10s %10s\n", "", "median", "min", "max");
  show("ClientInitPcComm", lib);
  show("echo x2 + 2 connects (baseline)", base);
  if (failures > 0) std::printf("  failures: %d\n", failures);

  bench::PrintFigure("bringup", "ClientInitPcComm median", bench::Micros(Median(lib)),
                     bench::Micros(Median(base)) + " (echo x2 + connects)", "-",
                     failures == 0 ? "info" : "no");
  return failures == 0 ? 0 : 1;
}
