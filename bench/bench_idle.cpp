// CPU time the process spends while the link is up and nothing flows, as a share of one core,
// beside the same process before any client exists (the peer's threads alone).
//
//   bench_idle [--seconds S] [--baseline-seconds S]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "bench_support.h"

namespace {

struct Usage {
  double cpuPercent;
  double wakeupsPerSecond;  // context switches of all threads
};

Usage Measure(long seconds) {
  // Reading the switch counts costs CPU of its own: it stays outside the CPU window.
  const uint64_t switches0 = bench::ContextSwitches();
  const uint64_t wall0 = bench::NowNs();
  const uint64_t cpu0 = bench::ProcessCpuNs();
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  const uint64_t cpu = bench::ProcessCpuNs() - cpu0;
  const uint64_t wall = bench::NowNs() - wall0;
  // The sleeping thread's own switch is counted too, and negligible.
  const uint64_t switches = bench::ContextSwitches() - switches0;
  return {100.0 * static_cast<double>(cpu) / static_cast<double>(wall),
          static_cast<double>(switches) * 1e9 / static_cast<double>(wall)};
}

class QuietModule : public CMyPcCommInterface {
 public:
  void ProcPcCommMsg(CCmdManage&) override { ++calls; }
  int calls = 0;
};

}  // namespace

int main(int argc, char** argv) {
  const long seconds = std::max(1L, bench::FlagValue(argc, argv, "--seconds", 10));
  const long baselineSeconds = std::max(1L, bench::FlagValue(argc, argv, "--baseline-seconds", 2));
  constexpr double kGoalPercent = 0.05;

  bench::Peer peer;
  const Usage base = Measure(baselineSeconds);

  QuietModule module;
  CMyPcCommSocketClient client;
  int dataFd = -1;
  if (!bench::BringUp(client, module, peer, dataFd)) return 1;
  // Let the bring-up's own work finish before the clock starts.
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const Usage idle = Measure(seconds);
  const bool stillUp = gInitFinishFlag == 1;

  client.ExitConnection();
  close(dataFd);
  client.ClientRegisterModule(&module, 0);

  std::printf("bench_idle: link up, no traffic, %ld s (baseline: no client, %ld s)\n", seconds,
              baselineSeconds);
  std::printf("  %-28s %12s %14s\n", "", "CPU", "wakeups/s");
  std::printf("  %-28s %10.3f %% %14.1f\n", "library link up, idle", idle.cpuPercent,
              idle.wakeupsPerSecond);
  std::printf("  %-28s %10.3f %% %14.1f\n", "no client (baseline)", base.cpuPercent,
              base.wakeupsPerSecond);
  std::printf("  link still up at the end: %s\n", stillUp ? "yes" : "no");

  const bool met = stillUp && idle.cpuPercent <= kGoalPercent;
  bench::PrintFigure(
      "idle", "CPU, link up, no traffic", bench::Format("%.3f %% of a core", idle.cpuPercent),
      bench::Format("%.3f %% (no client)", base.cpuPercent), "<= 0.05 %", met ? "yes" : "no");
  bench::PrintFigure("idle", "thread wakeups/s", bench::Format("%.1f", idle.wakeupsPerSecond),
                     bench::Format("%.1f (no client)", base.wakeupsPerSecond), "-", "info");
  return met ? 0 : 1;
}
