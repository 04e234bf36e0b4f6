// Resident memory while reports stream: at start, once the link is up, and after 10 %, 50 % and
// 100 % of the reports (100k, 500k and 1M by default), with the heap bytes in use beside it. The
// stream pauses at each checkpoint until every report sent so far has reached the module, so each
// figure is a settled state; the peak (VmHWM) covers the busy stretches in between.
//
//   bench_memory [--frames N]
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "bench_support.h"
#include "report_mix.h"

namespace {

class CountingModule : public CMyPcCommInterface {
 public:
  void ProcPcCommMsg(CCmdManage& m) override { check.Check(m); }
  bench::ReportCheck check;
};

struct Sample {
  long rssKib;
  long heapKib;  // bytes the allocator has handed out and not had back: tells a leak from
                 // memory the allocator keeps after it was freed
};

Sample Take() {
  const struct mallinfo2 m = mallinfo2();
  return {bench::StatusKib("VmRSS"), static_cast<long>((m.uordblks + m.hblkhd) / 1024)};
}

std::string MiB(long kib) { return bench::Format("%.1f MiB", static_cast<double>(kib) / 1024.0); }
std::string KiB(long kib) { return bench::Format("%ld KiB", kib); }

std::string Count(uint64_t frames) {
  if (frames >= 1000000 && frames % 1000000 == 0) {
    return bench::Format("%lluM", static_cast<unsigned long long>(frames / 1000000));
  }
  if (frames >= 1000 && frames % 1000 == 0) {
    return bench::Format("%lluk", static_cast<unsigned long long>(frames / 1000));
  }
  return bench::Format("%llu", static_cast<unsigned long long>(frames));
}

}  // namespace

int main(int argc, char** argv) {
  const Sample start = Take();
  const uint64_t frames =
      static_cast<uint64_t>(std::max(10L, bench::FlagValue(argc, argv, "--frames", 1000000)));
  const uint64_t checkpoints[] = {frames / 10, frames / 2, frames};
  constexpr long kFlatKib = 1024;  // growth allowed between the first and the last checkpoint

  const bench::ReportMix mix = bench::BuildReportMix(200);
  bench::Peer peer;
  CountingModule module;
  CMyPcCommSocketClient client;
  int dataFd = -1;
  if (!bench::BringUp(client, module, peer, dataFd)) return 1;
  const Sample up = Take();

  Sample at[3] = {};
  uint64_t sent = 0;
  bool ok = true;
  for (int i = 0; i < 3 && ok; ++i) {
    ok = bench::SendReports(dataFd, mix, checkpoints[i] - sent) &&
         module.check.WaitFor(checkpoints[i], 5000);
    sent = checkpoints[i];
    at[i] = Take();
  }
  const long peakKib = bench::StatusKib("VmHWM");
  const ScanlinkCounters counters = bench::CountersNow();

  client.ExitConnection();
  close(dataFd);
  client.ClientRegisterModule(&module, 0);
  if (!ok) {
    std::fprintf(stderr, "the stream stalled: %llu of %llu reports delivered, %llu wrong\n",
                 static_cast<unsigned long long>(module.check.Good()),
                 static_cast<unsigned long long>(sent),
                 static_cast<unsigned long long>(module.check.Bad()));
    return 1;
  }

  std::printf("bench_memory: %llu mixed reports streamed (queue high water %llu frames)\n",
              static_cast<unsigned long long>(frames),
              static_cast<unsigned long long>(counters.queueHighWater));
  std::printf("  %-28s %10s %14s\n", "", "VmRSS", "heap in use");
  auto row = [](const std::string& label, const Sample& s) {
    std::printf("  %-28s %10s %14s\n", label.c_str(), MiB(s.rssKib).c_str(),
                KiB(s.heapKib).c_str());
  };
  row("at start", start);
  row("link up", up);
  for (int i = 0; i < 3; ++i) row("after " + Count(checkpoints[i]) + " reports", at[i]);
  std::printf("  %-28s %10s\n", "peak (VmHWM)", MiB(peakKib).c_str());

  const long growth = at[2].rssKib - at[0].rssKib;
  const std::string first = " (after " + Count(checkpoints[0]) + ")";
  bench::PrintFigure("memory", "RSS at start", MiB(start.rssKib), "-", "-", "info");
  bench::PrintFigure("memory", "RSS link up", MiB(up.rssKib), MiB(start.rssKib) + " (start)", "-",
                     "info");
  for (int i = 0; i < 2; ++i) {
    bench::PrintFigure("memory", ("RSS after " + Count(checkpoints[i])).c_str(), MiB(at[i].rssKib),
                       MiB(up.rssKib) + " (link up)", "-", "info");
  }
  bench::PrintFigure("memory", ("RSS after " + Count(checkpoints[2])).c_str(), MiB(at[2].rssKib),
                     MiB(at[0].rssKib) + first, "flat: < +1 MiB", growth < kFlatKib ? "yes" : "no");
  bench::PrintFigure("memory", ("heap in use after " + Count(checkpoints[2])).c_str(),
                     KiB(at[2].heapKib), KiB(at[0].heapKib) + first, "-", "info");
  bench::PrintFigure("memory", "peak RSS (VmHWM)", MiB(peakKib), MiB(up.rssKib) + " (link up)", "-",
                     "info");
  return growth < kFlatKib ? 0 : 1;
}
