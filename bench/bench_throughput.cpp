// Measurement reports streamed as fast as the socket takes them: the peer writes a mix of value
// lists, cell-record reports, TD cell reports, sweeps and TD profiles, and a module checks every
// decoded record. Beside it, in the same run: a plain header-driven cutter over the same bytes in
// memory (framing alone: it reads the headers and steps over the payloads) and the same cutter
// fed from a loopback socket.
//
//   bench_throughput [--frames N]
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "bench_support.h"
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

  bench::Peer peer;
  CountingModule module;
  CMyPcCommSocketClient client;
  int dataFd = -1;
  if (!bench::BringUp(client, module, peer, dataFd)) return 1;

  module.check.SetTarget(frames);
  const ScanlinkCounters before = bench::CountersNow();
  uint64_t t0 = 0;
  bool sent = false;
  std::thread sender([&] {
    t0 = bench::NowNs();
    sent = bench::SendReports(dataFd, mix, frames);
  });
  module.check.WaitFor(frames, 5000);
  sender.join();
  const uint64_t elapsed = module.check.LastNs() > t0 ? module.check.LastNs() - t0 : 0;
  client.ExitConnection();  // its threads are joined: every counter is final
  close(dataFd);
  client.ClientRegisterModule(&module, 0);
  const ScanlinkCounters delta = bench::CountersSince(before);

  const uint64_t good = module.check.Good();
  const uint64_t lost = frames - std::min(frames, good);
  const double libRate = PerSecond(good, elapsed);
  const double libBytes = PerSecond(mix.BytesFor(good), elapsed);
  const double memRate = PerSecond(memory.frames, memory.ns);
  const double sockRate = PerSecond(socketCut.frames, socketCut.ns);

  std::printf("bench_throughput: %llu frames, %.1f MB, %zu kinds of report (avg %.0f B/frame)\n",
              static_cast<unsigned long long>(frames), static_cast<double>(streamBytes) / 1e6,
              bench::kReportKinds,
              static_cast<double>(mix.bytes.size()) / static_cast<double>(mix.Frames()));
  std::printf("  %-34s %12s %10s %10s\n", "", "frames/s", "MB/s", "time");
  std::printf("  %-34s %12s %10s %8.2f s\n", "library -> module callbacks", Rate(libRate).c_str(),
              MBs(libBytes).c_str(), static_cast<double>(elapsed) / 1e9);
  std::printf("  %-34s %12s %10s %8.2f s\n", "raw cutter, in memory, headers only",
              Rate(memRate).c_str(), MBs(PerSecond(memory.bytes, memory.ns)).c_str(),
              static_cast<double>(memory.ns) / 1e9);
  std::printf("  %-34s %12s %10s %8.2f s\n", "raw cutter, loopback socket", Rate(sockRate).c_str(),
              MBs(PerSecond(socketCut.bytes, socketCut.ns)).c_str(),
              static_cast<double>(socketCut.ns) / 1e9);
  std::printf("  library / in-memory cutter %.4f, library / socket cutter %.3f\n",
              memRate > 0 ? libRate / memRate : 0, sockRate > 0 ? libRate / sockRate : 0);
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
  const bool rateMet = libRate >= 200000 && libRate * 3 >= memRate;
  bench::PrintFigure("throughput", "reports delivered/s", Rate(libRate),
                     Rate(memRate) + " (in-memory cutter)", ">= 200k/s and >= 1/3 baseline",
                     clean && rateMet ? "yes" : "no");
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
