// A scanner that writes a burst of reports before it reads again (one thread, blocking sockets)
// and an application that sends requests steadily: reports received per second, requests sent,
// and the link losses (all false: the scanner never goes away) over the run.
//
// The namespace's TCP buffers are capped at 64 KiB (as on a small-buffer radio link, and the
// Windows default), so a scanner that is not reading holds up the application's sends soon, and
// loopback gets an Ethernet-sized MTU (with its own 64 KiB segments a window never reopens by a
// whole segment, and the link stalls in TCP itself) and one segment per packet. Loopback would
// otherwise hand the receiver the sender's offload packets whole, up to 64 KiB each, where an
// Ethernet link delivers frames of one MTU: one such packet overruns a 64 KiB receive buffer
// that is partly full and is dropped, so both ends stall in retransmission backoff for seconds
// while neither program is waiting on the other, and the application's send times out.
//
// The scanner's receive buffer can be capped too (--scanner-window, bytes; as on a scanner with
// a small TCP stack). With --serve PORT the program is the scanner alone, on data port PORT and
// the alarm port, until its standard input closes: the application is then another program
// (bench_burst_app, the same loop against the Windows DLL under Wine; scripts/bench-windows.sh).
//
//   bench_burst [--seconds N] [--burst-kib N] [--report-bytes N] [--scanner-window N]
//               [--send-every-us N] [--serve PORT]
#include <linux/if_link.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "bench_support.h"

namespace {

class CountingModule : public CMyPcCommInterface {
 public:
  void ProcPcCommMsg(CCmdManage& m) override {
    if (m.nCode == 37) reports.fetch_add(1, std::memory_order_relaxed);
  }
  std::atomic<uint64_t> reports{0};
};

// Writes a burst (and the replies to the requests read before it), then reads whatever requests
// are waiting, until stop; takes the library's next data connection whenever the current one
// fails.
void Scanner(bench::Peer& peer, int fd, const std::vector<uint8_t>& burst, int window,
             const std::atomic<bool>& stop) {
  std::vector<uint8_t> in, out, chunk(1 << 16);
  if (fd >= 0 && window > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
  while (!stop.load()) {
    if (fd < 0) {
      fd = peer.AcceptData(100);
      if (fd >= 0 && window > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &window, sizeof window);
      in.clear();
      continue;
    }
    out.insert(out.end(), burst.begin(), burst.end());
    bool ok = bench::WriteAll(fd, out.data(), out.size());
    out.clear();
    pollfd p{fd, POLLIN, 0};
    while (ok && poll(&p, 1, 0) == 1) {
      const ssize_t n = recv(fd, chunk.data(), chunk.size(), MSG_DONTWAIT);
      if (n <= 0) {
        ok = n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        break;
      }
      in.insert(in.end(), chunk.begin(), chunk.begin() + n);
    }
    // Each whole request is answered (code 12, one value) in the next burst.
    size_t at = 0;
    while (in.size() - at >= bench::kHeaderSize) {
      const bench::FrameHeader request = bench::read_header(&in[at]);
      const size_t length = scanlink::codec::frame_length(request);
      if (in.size() - at < length) break;
      bench::AppendFrame(out, request.module, 12, request.transId, {0, 7});
      at += length;
    }
    in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(at));
    if (!ok) {
      close(fd);
      fd = -1;
    }
  }
  if (fd >= 0) close(fd);
}

// Loopback sends each TCP segment as a packet of its own, as an Ethernet link delivers them.
bool OneSegmentPerPacket() {
  struct {
    nlmsghdr header;
    ifinfomsg link;
    rtattr attribute;
    uint32_t segments;
  } request{};
  request.header.nlmsg_len = sizeof request;
  request.header.nlmsg_type = RTM_NEWLINK;
  request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
  request.link.ifi_family = AF_UNSPEC;
  request.link.ifi_index = static_cast<int>(if_nametoindex("lo"));
  request.attribute.rta_type = IFLA_GSO_MAX_SEGS;
  request.attribute.rta_len = RTA_LENGTH(sizeof request.segments);
  request.segments = 1;
  const int s = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (s < 0) return false;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  struct {
    nlmsghdr header;
    nlmsgerr error;
  } answer{};
  const bool ok = request.link.ifi_index > 0 &&
                  sendto(s, &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
                         sizeof kernel) == static_cast<ssize_t>(sizeof request) &&
                  recv(s, &answer, sizeof answer, 0) >= static_cast<ssize_t>(sizeof answer) &&
                  answer.header.nlmsg_type == NLMSG_ERROR && answer.error.error == 0;
  close(s);
  return ok;
}

// Caps this network namespace's TCP buffers and loopback MTU (run inside tests/netns-run).
bool LimitTcpBuffers() {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  ifreq lo{};
  std::strncpy(lo.ifr_name, "lo", IFNAMSIZ - 1);
  lo.ifr_mtu = 1500;
  const bool mtu = s >= 0 && ioctl(s, SIOCSIFMTU, &lo) == 0;
  if (s >= 0) close(s);
  if (!mtu || !OneSegmentPerPacket()) return false;
  for (const char* path : {"/proc/sys/net/ipv4/tcp_wmem", "/proc/sys/net/ipv4/tcp_rmem"}) {
    FILE* f = std::fopen(path, "w");
    if (f == nullptr) return false;
    const bool ok = std::fputs("4096 16384 65536\n", f) >= 0;
    if (std::fclose(f) != 0 || !ok) return false;
  }
  return true;
}

// The scanner alone, for an application in another process, until standard input closes.
int Serve(uint16_t port, const std::vector<uint8_t>& burst, int window) {
  bench::Peer peer(port);
  std::atomic<bool> stop{false};
  std::thread scanner(Scanner, std::ref(peer), -1, std::cref(burst), window, std::cref(stop));
  std::printf("listening on %u\n", static_cast<unsigned>(peer.DataPort()));
  std::fflush(stdout);
  char sink[256];
  while (read(STDIN_FILENO, sink, sizeof sink) > 0) {
  }
  stop = true;
  scanner.join();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (!LimitTcpBuffers()) {
    std::fprintf(
        stderr,
        "cannot cap the TCP buffers, MTU and segments per packet: run inside tests/netns-run\n");
    return 1;
  }
  const long seconds = bench::FlagValue(argc, argv, "--seconds", 10);
  const long burstKib = bench::FlagValue(argc, argv, "--burst-kib", 256);
  const long reportBytes = bench::FlagValue(argc, argv, "--report-bytes", 64);
  const long window = bench::FlagValue(argc, argv, "--scanner-window", 0);
  const long everyUs = bench::FlagValue(argc, argv, "--send-every-us", 200);
  const long servePort = bench::FlagValue(argc, argv, "--serve", -1);
  if (reportBytes > 2048 || window > 1 << 24 || servePort > 65535) {
    std::fprintf(stderr, "--report-bytes at most 2048, --scanner-window at most 16 MiB\n");
    return 2;
  }

  std::vector<uint8_t> burst;
  std::vector<uint8_t> report(static_cast<size_t>(reportBytes), 0x11);
  while (burst.size() < static_cast<size_t>(burstKib) * 1024) {
    bench::AppendFrame(burst, 0, 37, bench::kBroadcast, report);
  }
  if (servePort >= 0) {
    return Serve(static_cast<uint16_t>(servePort), burst, static_cast<int>(window));
  }

  bench::Peer peer;
  CMyPcCommSocketClient client;
  CountingModule module;
  int fd = -1;
  if (!bench::BringUp(client, module, peer, fd)) return 1;
  const ScanlinkCounters before = bench::CountersNow();
  std::atomic<bool> stop{false};
  std::thread scanner(Scanner, std::ref(peer), fd, std::cref(burst), static_cast<int>(window),
                      std::cref(stop));

  std::vector<uint8_t> payload(1024, 0x22);
  uint64_t sent = 0, refused = 0;
  const uint64_t start = bench::NowNs();
  const uint64_t end = start + static_cast<uint64_t>(seconds) * 1000000000ull;
  uint64_t next = start;
  while (bench::NowNs() < end) {
    CMyPcCommMessage message(0x0200, static_cast<uint16_t>(payload.size()), 0, payload.data());
    if (client.ClientSendMessage(message) != 0) {
      ++sent;
    } else {
      ++refused;
    }
    next += static_cast<uint64_t>(everyUs) * 1000;
    const uint64_t now = bench::NowNs();
    if (next > now) std::this_thread::sleep_for(std::chrono::nanoseconds(next - now));
  }
  const double elapsed = static_cast<double>(bench::NowNs() - start) / 1e9;
  const ScanlinkCounters d = bench::CountersSince(before);
  const double reports = static_cast<double>(module.reports.load());
  stop = true;
  client.ClientRegisterModule(&module, 0);
  client.ExitConnection();
  scanner.join();

  const bool met = d.linkLosses == 0;
  bench::PrintFigure("burst", "reports received", bench::Format("%.0f /s", reports / elapsed),
                     "scanner writes a burst before each read", "-", "info");
  bench::PrintFigure("burst", "requests sent",
                     bench::Format("%.0f /s (%llu refused)", static_cast<double>(sent) / elapsed,
                                   static_cast<unsigned long long>(refused)),
                     bench::Format("one every %ld us", everyUs), "-", "info");
  bench::PrintFigure(
      "burst", "false link losses",
      bench::Format("%llu (reconnections %llu)", static_cast<unsigned long long>(d.linkLosses),
                    static_cast<unsigned long long>(d.reconnections)),
      "the scanner never left", "0", met ? "yes" : "no");
  return met ? 0 : 1;
}
