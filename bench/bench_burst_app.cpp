// The application's side of bench_burst in a program of its own, built for Windows too, so the
// duplex case runs against the DLL under Wine with the scanner (bench_burst --serve) outside it:
// requests sent steadily while the scanner writes bursts of reports before it reads; reports
// received, requests sent, the longest send and the link losses (all false: the scanner never
// goes away). Prints the same figure lines as the other benchmarks.
//
//   bench_burst_app --port N [--host A] [--seconds N] [--send-every-us N] [--request-bytes N]
#include <scanlink/scanlink.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// Counts reports and writes the link notices down in order: S<status> and C<0|1>.
class Module : public CMyPcCommInterface {
 public:
  void ConnectMsg(bool connected) override { Note(connected ? "C1" : "C0"); }
  void ProcPcCommMsg(CCmdManage& m) override {
    if (m.nCode == 37) reports.fetch_add(1, std::memory_order_relaxed);
    if (m.nCode == SCANLINK_CODE_LINK_STATUS) {
      char text[8];
      std::snprintf(text, sizeof text, "S%u",
                    static_cast<unsigned>(m.body.linkStatus.nStatusByte1));
      Note(text);
    }
  }
  std::string Notices() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notices_.empty() ? "none" : notices_;
  }
  std::atomic<uint64_t> reports{0};

 private:
  void Note(const char* text) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!notices_.empty()) notices_ += ' ';
    notices_ += text;
  }
  std::mutex mutex_;
  std::string notices_;
};

// "--name value"; the default when absent, exit on a malformed value.
long Flag(int argc, char** argv, const char* name, long fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) != 0) continue;
    char* end = nullptr;
    const long v = std::strtol(argv[i + 1], &end, 10);
    if (end == argv[i + 1] || *end != '\0' || v < 0) {
      std::fprintf(stderr, "%s: bad value '%s'\n", name, argv[i + 1]);
      std::exit(2);
    }
    return v;
  }
  return fallback;
}

const char* Text(int argc, char** argv, const char* name, const char* fallback) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], name) == 0) return argv[i + 1];
  }
  return fallback;
}

double Since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long port = Flag(argc, argv, "--port", 0);
  const long seconds = Flag(argc, argv, "--seconds", 10);
  const long everyUs = Flag(argc, argv, "--send-every-us", 200);
  const long requestBytes = Flag(argc, argv, "--request-bytes", 1024);
  if (port == 0 || port > 65535 || requestBytes > 2048) {
    std::fprintf(stderr,
                 "usage: %s --port N [--host A] [--seconds N] [--send-every-us N] "
                 "[--request-bytes N (at most 2048)]\n",
                 argv[0]);
    return 2;
  }
  std::snprintf(gHostAddr, sizeof gHostAddr, "%s", Text(argc, argv, "--host", "127.0.0.1"));
  nTcpPort = static_cast<int>(port);

  CMyPcCommSocketClient client;
  Module module;
  if (!client.ClientRegisterModule(&module, 1) || client.ClientInitPcComm() != 0) {
    std::fprintf(stderr, "the link to %s:%ld did not come up\n", gHostAddr, port);
    return 1;
  }
  ScanlinkCounters before{};
  ScanlinkReadCountersSized(&before, sizeof before);

  std::vector<uint8_t> payload(static_cast<size_t>(requestBytes), 0x22);
  uint64_t sent = 0, refused = 0;
  double longest = 0;
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = start + std::chrono::seconds(seconds);
  Clock::time_point next = start;
  while (Clock::now() < end) {
    CMyPcCommMessage message(0x0200, static_cast<uint16_t>(payload.size()), 0, payload.data());
    const Clock::time_point at = Clock::now();
    if (client.ClientSendMessage(message) != 0) {
      ++sent;
    } else {
      ++refused;
    }
    longest = std::max(longest, Since(at));
    next += std::chrono::microseconds(everyUs);
    if (next > Clock::now()) std::this_thread::sleep_until(next);
  }
  const double elapsed = Since(start);
  ScanlinkCounters after{};
  ScanlinkReadCountersSized(&after, sizeof after);
  const uint64_t reports = module.reports.load();
  const std::string notices = module.Notices();
  client.ClientRegisterModule(&module, 0);
  client.ExitConnection();

  const uint64_t losses = after.linkLosses - before.linkLosses;
  std::printf(
      "figure|burst-app|reports received|%.0f /s|scanner writes a burst before each read|-|"
      "info\n",
      static_cast<double>(reports) / elapsed);
  std::printf(
      "figure|burst-app|requests sent|%.0f /s (%llu refused), longest send %.3f s|one "
      "every %ld us|-|info\n",
      static_cast<double>(sent) / elapsed, static_cast<unsigned long long>(refused), longest,
      everyUs);
  std::printf(
      "figure|burst-app|false link losses|%llu (reconnections %llu; notices %s)|the "
      "scanner never left|0|%s\n",
      static_cast<unsigned long long>(losses),
      static_cast<unsigned long long>(after.reconnections - before.reconnections), notices.c_str(),
      losses == 0 ? "yes" : "no");
  std::fflush(stdout);
  return losses == 0 ? 0 : 1;
}
