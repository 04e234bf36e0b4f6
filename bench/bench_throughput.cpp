// Measurement reports streamed as fast as the socket takes them: the peer writes a mix of value
// lists, cell-record reports, TD cell reports, sweeps and TD profiles, and a module checks every
// decoded record. The baseline, measured in the same run over the same traffic, is one thread
// doing the work the API requires of each report (read, cut, zeroed record, decode, callback; see
// decode_baseline.h); the goal is three quarters of its rate with nothing lost. The CPU cost per
// report is broken down by step. For reference also: a header-only cutter in memory and over a
// socket, which do none of the per-report work.
//
//   bench_throughput [--frames N]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "bench_support.h"
#include "decode_baseline.h"
#include "report_mix.h"

namespace {

class CountingModule : public CMyPcCommInterface {
 public:
  void ProcPcCommMsg(CCmdManage& m) override { check.Check(m); }
  bench::ReportCheck check;
};

double PerSecond(uint64_t count, uint64_t ns) {
  return ns == 0 ? 0 : static_cast<double>(count) * 1e9 / static_cast<double>(ns);
}

std::string Rate(double perSecond) {
  if (perSecond >= 1e6) return bench::Format("%.2f M/s", perSecond / 1e6);
  return bench::Format("%.0f k/s", perSecond / 1e3);
}

std::string MBs(double bytesPerSecond) { return bench::Format("%.0f MB/s", bytesPerSecond / 1e6); }

double PerFrame(uint64_t ns, uint64_t frames) {
  return frames == 0 ? 0 : static_cast<double>(ns) / static_cast<double>(frames);
}

}  // namespace

int main(int argc, char** argv) {
  const uint64_t frames =
      static_cast<uint64_t>(std::max(1L, bench::FlagValue(argc, argv, "--frames", 1000000)));
  const bench::ReportMix mix = bench::BuildReportMix(200);
  const uint64_t streamBytes = mix.BytesFor(frames);

  // Framing alone: best of three passes, caches warm.
  bench::CutResult memory{0, 0, UINT64_MAX};
  for (int i = 0; i < 3; ++i) {
    const bench::CutResult r = bench::CutInMemory(mix, frames);
    if (r.ns < memory.ns) memory = r;
  }
  const bench::CutResult socketCut = bench::CutFromSocket(mix, frames);

  // The baseline before and after the library's run; the faster counts (the stricter goal).
  CountingModule baselineModule;
  auto runBaseline = [&] { return bench::DecodeFromSocket(mix, frames, baselineModule); };
  bench::BaselineResult baseline = runBaseline();
  CountingModule stepModule;
  const bench::StepCosts steps =
      bench::MeasureSteps(mix, std::min<uint64_t>(frames, 200000), stepModule);

  bench::Peer peer;
  CountingModule module;
  CMyPcCommSocketClient client;
  int dataFd = -1;
  if (!bench::BringUp(client, module, peer, dataFd)) return 1;

  module.check.SetTarget(frames);
  const ScanlinkCounters before = bench::CountersNow();
  uint64_t t0 = 0;
  bool sent = false;
  uint64_t senderCpu = 0;
  bench::CpuSplit senderSplit;
  const bench::CpuSplit split0 = bench::ProcessCpuSplit();
  const uint64_t cpu0 = bench::ProcessCpuNs();
  const uint64_t switches0 = bench::ContextSwitches();
  std::thread sender([&] {
    t0 = bench::NowNs();
    sent = bench::SendReports(dataFd, mix, frames);
    senderCpu = bench::ThreadCpuNs();
    senderSplit = bench::ThreadCpuSplit();
  });
  module.check.WaitFor(frames, 5000);
  sender.join();
  // Every thread but the sender is the library's (and the module it calls); the main thread
  // only sleeps in WaitFor.
  const uint64_t libCpu = bench::ProcessCpuNs() - cpu0 - senderCpu;
  const bench::CpuSplit libSplit = bench::ProcessCpuSplit() - split0 - senderSplit;
  // Counted while the library's threads still exist (their counts go with them).
  const uint64_t switches = bench::ContextSwitches() - switches0;
  const uint64_t elapsed = module.check.LastNs() > t0 ? module.check.LastNs() - t0 : 0;
  client.ExitConnection();  // its threads are joined: every counter is final
  close(dataFd);
  client.ClientRegisterModule(&module, 0);
  const ScanlinkCounters delta = bench::CountersSince(before);
  const bench::BaselineResult again = runBaseline();
  if (again.frames == frames && (baseline.frames < frames || again.ns < baseline.ns)) {
    baseline = again;
  }

  const uint64_t good = module.check.Good();
  const uint64_t lost = frames - std::min(frames, good);
  const double libRate = PerSecond(good, elapsed);
  const double libBytes = PerSecond(mix.BytesFor(good), elapsed);
  const double memRate = PerSecond(memory.frames, memory.ns);
  const double sockRate = PerSecond(socketCut.frames, socketCut.ns);
  const double baseRate = PerSecond(baseline.frames, baseline.ns);
  const double libCpuPer = PerFrame(libCpu, good);
  const double baseCpuPer = PerFrame(baseline.readerCpuNs, baseline.frames);
  const double inMemory = steps.frame + steps.zero + steps.decode + steps.callback;

  std::printf("bench_throughput: %llu frames, %.1f MB, %zu kinds of report (avg %.0f B/frame)\n",
              static_cast<unsigned long long>(frames), static_cast<double>(streamBytes) / 1e6,
              bench::kReportKinds,
              static_cast<double>(mix.bytes.size()) / static_cast<double>(mix.Frames()));
  std::printf("  %-34s %12s %10s %10s\n", "", "frames/s", "MB/s", "time");
  std::printf("  %-34s %12s %10s %8.2f s\n", "library -> module callbacks", Rate(libRate).c_str(),
              MBs(libBytes).c_str(), static_cast<double>(elapsed) / 1e9);
  std::printf("  %-34s %12s %10s %8.2f s\n", "baseline: 1 thread read+decode+call",
              Rate(baseRate).c_str(),
              MBs(PerSecond(mix.BytesFor(baseline.frames), baseline.ns)).c_str(),
              static_cast<double>(baseline.ns) / 1e9);
  std::printf("  %-34s %12s %10s %8.2f s\n", "raw cutter, in memory, headers only",
              Rate(memRate).c_str(), MBs(PerSecond(memory.bytes, memory.ns)).c_str(),
              static_cast<double>(memory.ns) / 1e9);
  std::printf("  %-34s %12s %10s %8.2f s\n", "raw cutter, loopback socket", Rate(sockRate).c_str(),
              MBs(PerSecond(socketCut.bytes, socketCut.ns)).c_str(),
              static_cast<double>(socketCut.ns) / 1e9);
  std::printf(
      "  library / baseline %.2f (goal >= 0.75); library / in-memory cutter %.4f, "
      "library / socket cutter %.3f\n",
      baseRate > 0 ? libRate / baseRate : 0, memRate > 0 ? libRate / memRate : 0,
      sockRate > 0 ? libRate / sockRate : 0);
  std::printf("  CPU per report, ns               library  baseline\n");
  std::printf("    socket reads                            %8.0f\n", baseCpuPer - inMemory);
  std::printf("    cutting, header checks                  %8.0f\n", steps.frame);
  std::printf("    zeroed record (%zu B)                %8.0f\n", sizeof(CCmdManage), steps.zero);
  std::printf("    decoding                                %8.0f\n", steps.decode);
  std::printf("    callback (module's check)               %8.0f\n", steps.callback);
  std::printf("    queue, copy, wake-ups, lock             %8.0f\n", libCpuPer - baseCpuPer);
  std::printf("    total                          %8.0f  %8.0f   (peer's sending: %.0f)\n",
              libCpuPer, baseCpuPer, PerFrame(senderCpu, frames));
  std::printf("    of which in the kernel         %8.0f  %8.0f\n",
              PerFrame(libSplit.systemNs, good),
              PerFrame(baseline.reader.systemNs, baseline.frames));
  std::printf("  library threads' context switches: %.3f per report\n",
              good == 0 ? 0 : static_cast<double>(switches) / static_cast<double>(good));
  std::printf(
      "  delivered good %llu, bad %llu, other %llu, lost %llu; library counters: "
      "received %llu, delivered %llu, dropped (sync %llu, length %llu, no module %llu), "
      "skipped bytes %llu, link losses %llu, queue high water %llu%s\n",
      static_cast<unsigned long long>(good), static_cast<unsigned long long>(module.check.Bad()),
      static_cast<unsigned long long>(module.check.Other()), static_cast<unsigned long long>(lost),
      static_cast<unsigned long long>(delta.framesReceived),
      static_cast<unsigned long long>(delta.framesDelivered),
      static_cast<unsigned long long>(delta.droppedSync),
      static_cast<unsigned long long>(delta.droppedLength),
      static_cast<unsigned long long>(delta.droppedNoModule),
      static_cast<unsigned long long>(delta.bytesSkipped),
      static_cast<unsigned long long>(delta.linkLosses),
      static_cast<unsigned long long>(delta.queueHighWater),
      sent ? "" : " (the peer's send failed)");

  const bool clean = lost == 0 && module.check.Bad() == 0;
  const bool rateMet = libRate >= 200000 && libRate * 4 >= baseRate * 3;
  bench::PrintFigure("throughput", "reports delivered/s", Rate(libRate),
                     Rate(baseRate) + " (1 thread: read, cut, zeroed record, decode, callback)",
                     ">= 200k/s and >= 3/4 baseline", clean && rateMet ? "yes" : "no");
  bench::PrintFigure("throughput", "CPU per report", bench::Format("%.0f ns", libCpuPer),
                     bench::Format("%.0f ns (1 thread)", baseCpuPer), "-", "info");
  bench::PrintFigure(
      "throughput", "baseline per-report CPU",
      bench::Format("read %.0f, cut %.0f, zero %.0f, decode %.0f, callback %.0f ns",
                    baseCpuPer - inMemory, steps.frame, steps.zero, steps.decode, steps.callback),
      bench::Format("library adds %.0f ns (queue, copy, wake-ups, lock)", libCpuPer - baseCpuPer),
      "-", "info");
  bench::PrintFigure("throughput", "reports delivered/s", Rate(libRate),
                     Rate(memRate) + " (in-memory cutter, headers only)", "-", "info");
  bench::PrintFigure("throughput", "report bytes/s", MBs(libBytes),
                     MBs(PerSecond(memory.bytes, memory.ns)) + " (in-memory cutter)", "-", "info");
  bench::PrintFigure("throughput", "reports delivered/s", Rate(libRate),
                     Rate(sockRate) + " (socket + cutter)", "-", "info");
  bench::PrintFigure(
      "throughput", "lost or wrong reports",
      bench::Format("%llu", static_cast<unsigned long long>(lost + module.check.Bad())), "0", "0",
      clean ? "yes" : "no");
  return clean ? 0 : 1;
}
