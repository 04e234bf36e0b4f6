// Measurement reports streamed as fast as the socket takes them: the peer writes a mix of value
// lists, cell-record reports, TD cell reports, sweeps and TD profiles, and a module checks every
// decoded record. The baseline, measured in the same run over the same traffic, is one thread
// doing the work the API requires of each report (read, cut, zeroed record, decode, callback; see
// decode_baseline.h); the goal is 0.9 of its rate with nothing lost. The CPU cost per
// report is broken down by step. For reference also: a header-only cutter in memory and over a
// socket, which do none of the per-report work. Last, two sessions stream at once, each from its
// own connection: on two cores each should keep at least 0.45 of the baseline.
//
//   bench_throughput [--frames N]
#include <scanlink/scanlink_c.h>
#include <sys/socket.h>
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

// One C session streaming from its own connection to the peer.
struct Stream {
  scanlink_session* session = nullptr;
  int fd = -1;  // the peer's end
  bench::ReportCheck check;
  bool sent = false;
};

void SCANLINK_CALL OnRecord(void* context, const scanlink_record* r) {
  static_cast<bench::ReportCheck*>(context)->Check(r->code, r->trans_id, r->length, r->body);
}

bool OpenStream(bench::Peer& peer, Stream& s) {
  scanlink_options options;
  scanlink_options_init(&options);
  std::snprintf(options.address, sizeof options.address, "127.0.0.1");
  options.data_port = peer.DataPort();
  s.session = scanlink_open(&options);
  if (s.session == nullptr) {
    std::fprintf(stderr, "scanlink_open failed\n");
    return false;
  }
  scanlink_handlers handlers{};
  handlers.on_record = OnRecord;
  handlers.context = &s.check;
  scanlink_set_handlers(s.session, &handlers);
  const int up = scanlink_connect(s.session);
  if (up != SCANLINK_CONNECT_UP) {
    std::fprintf(stderr, "scanlink_connect returned %d\n", up);
    return false;
  }
  s.fd = peer.AcceptData(5000);
  return s.fd >= 0;
}

// Two sessions at full rate at once; false when a report was lost or wrong.
bool RunTwoSessions(bench::Peer& peer, const bench::ReportMix& mix, uint64_t frames,
                    double baseRate) {
  Stream streams[2];
  bool up = true;
  for (Stream& s : streams) up = up && OpenStream(peer, s);
  double rates[2] = {0, 0};
  uint64_t lost = 0;
  if (up) {
    const uint64_t switches0 = bench::ContextSwitches();
    const uint64_t cpu0 = bench::ProcessCpuNs();
    const uint64_t t0 = bench::NowNs();
    std::thread senders[2];
    for (Stream& s : streams) {
      s.check.SetTarget(frames);
      senders[&s - streams] =
          std::thread([&s, &mix, frames] { s.sent = bench::SendReports(s.fd, mix, frames); });
    }
    // A stalled session would leave its sender blocked on a full socket: shut, it fails instead.
    for (Stream& s : streams)
      if (!s.check.WaitFor(frames, 5000)) shutdown(s.fd, SHUT_RDWR);
    const uint64_t cpu = bench::ProcessCpuNs() - cpu0;
    const uint64_t switches = bench::ContextSwitches() - switches0;
    for (std::thread& t : senders) t.join();
    for (int i = 0; i < 2; ++i) {
      const bench::ReportCheck& c = streams[i].check;
      const uint64_t ns = c.LastNs() > t0 ? c.LastNs() - t0 : 0;
      rates[i] = PerSecond(c.Good(), ns);
      lost += frames - std::min(frames, c.Good()) + c.Bad();
    }
    std::printf(
        "  two sessions at once, %llu frames each: %s and %s (each / baseline %.2f, %.2f; goal "
        ">= 0.45); CPU per report %.0f ns (senders included), context switches %.3f per "
        "report, lost or wrong %llu%s\n",
        static_cast<unsigned long long>(frames), Rate(rates[0]).c_str(), Rate(rates[1]).c_str(),
        baseRate > 0 ? rates[0] / baseRate : 0, baseRate > 0 ? rates[1] / baseRate : 0,
        PerFrame(cpu, 2 * frames), static_cast<double>(switches) / static_cast<double>(2 * frames),
        static_cast<unsigned long long>(lost),
        streams[0].sent && streams[1].sent ? "" : " (a peer's send failed)");
  } else {
    lost = 2 * frames;
  }
  for (Stream& s : streams) {
    if (s.session != nullptr) scanlink_close(s.session);
    if (s.fd >= 0) close(s.fd);
  }
  const double slower = std::min(rates[0], rates[1]);
  bench::PrintFigure("throughput", "two sessions at once, each",
                     Rate(rates[0]) + ", " + Rate(rates[1]),
                     Rate(baseRate) + " (1 thread, one session)", ">= 0.45x baseline each",
                     lost == 0 && slower * 100 >= baseRate * 45 ? "yes" : "no");
  return lost == 0;
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
  if (!module.check.WaitFor(frames, 5000)) shutdown(dataFd, SHUT_RDWR);  // frees a blocked sender
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
      "  library / baseline %.2f (goal >= 0.9); library / in-memory cutter %.4f, "
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
  const bool rateMet = libRate >= 200000 && libRate * 10 >= baseRate * 9;
  bench::PrintFigure("throughput", "reports delivered/s", Rate(libRate),
                     Rate(baseRate) + " (1 thread: read, cut, zeroed record, decode, callback)",
                     ">= 200k/s and >= 0.9x baseline", clean && rateMet ? "yes" : "no");
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
  const bool twoClean = RunTwoSessions(peer, mix, frames, baseRate);
  return clean && twoClean ? 0 : 1;
}
