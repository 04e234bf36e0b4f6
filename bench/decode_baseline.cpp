#include "decode_baseline.h"

#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "bench_support.h"
#include "codec/codec.h"
#include "codec/framer.h"
#include "codec/gps_check.h"
#include "scanlink/scanlink.h"

namespace bench {
namespace {

// What the library decodes the first session's reports with: the finger flag and a station table.
scanlink::codec::DecodeEnv FirstDecodeEnv() {
  static scanlink::codec::BaseStationTable stations;
  return {std::atomic_ref<int>(FingerTestFlag).load(std::memory_order_relaxed), &stations};
}

constexpr size_t kReadSize = 4096;

void Keep(const void* p) { asm volatile("" : : "r"(p) : "memory"); }

enum class Steps { kFrame, kZero, kDecode, kCallback };

// The framer's sink: what happens to each whole frame, up to the given step.
template <Steps kUpTo>
struct Deliver {
  CMyPcCommInterface& module;
  scanlink::codec::DecodeEnv env = FirstDecodeEnv();
  uint64_t frames = 0;
  uint64_t sum = 0;

  void OnFrame(const uint8_t* frame, size_t length) {
    const FrameHeader header = read_header(frame);
    const uint16_t code = header.code, trans = header.transId, payload = header.length;
    if (header.sync != kSync || length > kMaxFrame || payload + kHeaderSize != length) return;
    ++frames;
    if constexpr (kUpTo == Steps::kFrame) {
      sum += code ^ trans;
    } else {
      CCmdManage record;
      if constexpr (kUpTo >= Steps::kDecode) {
        scanlink::codec::decode_payload(code, trans, frame + kHeaderSize, payload, record, env);
      }
      if constexpr (kUpTo == Steps::kCallback) module.ProcPcCommMsg(record);
      Keep(&record);
    }
  }
  void OnTrace(const char*) {}
  void OnOversized(size_t) {}
  void OnDiscard(size_t) {}
};

// Feeds the mix in reads of kReadSize bytes until `frames` frames were delivered; CPU ns used.
template <Steps kUpTo>
uint64_t RunInMemory(const ReportMix& mix, uint64_t frames, CMyPcCommInterface& module) {
  scanlink::codec::Framer framer;
  Deliver<kUpTo> sink{module};
  const uint64_t t0 = ThreadCpuNs();
  while (sink.frames < frames) {
    for (size_t off = 0; off < mix.bytes.size() && sink.frames < frames; off += kReadSize) {
      const size_t n = std::min(kReadSize, mix.bytes.size() - off);
      framer.Feed(mix.bytes.data() + off, n, sink);
    }
  }
  const uint64_t used = ThreadCpuNs() - t0;
  Keep(&sink.sum);
  return used;
}

}  // namespace

uint64_t ThreadCpuNs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

BaselineResult DecodeFromSocket(const ReportMix& mix, uint64_t frames, CMyPcCommInterface& module) {
  int reader = -1;
  int writer = -1;
  if (!LoopbackPair(reader, writer)) return {0, 1, 0, 0, {}};
  SetNoDelay(writer);

  scanlink::codec::Framer framer;
  Deliver<Steps::kCallback> sink{module};
  static uint8_t buf[kReadSize];
  uint64_t senderCpu = 0;
  const uint64_t cpu0 = ThreadCpuNs();
  const CpuSplit split0 = ThreadCpuSplit();
  const uint64_t t0 = NowNs();
  std::thread sender([&] {
    SendReports(writer, mix, frames);
    senderCpu = ThreadCpuNs();
  });
  while (sink.frames < frames) {
    const ssize_t n = recv(reader, buf, sizeof buf, 0);
    if (n <= 0) break;
    framer.Feed(buf, static_cast<size_t>(n), sink);
  }
  const uint64_t t1 = NowNs();
  const uint64_t cpu1 = ThreadCpuNs();
  const CpuSplit split = ThreadCpuSplit() - split0;
  shutdown(reader, SHUT_RDWR);  // a sender still writing after a failed read fails too
  sender.join();
  close(writer);
  close(reader);
  return {sink.frames, t1 - t0, cpu1 - cpu0, senderCpu, split};
}

StepCosts MeasureSteps(const ReportMix& mix, uint64_t frames, CMyPcCommInterface& module) {
  // Best of three for each pass: the machine is shared.
  auto best = [&](auto run) {
    uint64_t least = UINT64_MAX;
    for (int i = 0; i < 3; ++i) least = std::min(least, run());
    return static_cast<double>(least) / static_cast<double>(frames);
  };
  const double frame = best([&] { return RunInMemory<Steps::kFrame>(mix, frames, module); });
  const double zero = best([&] { return RunInMemory<Steps::kZero>(mix, frames, module); });
  const double decode = best([&] { return RunInMemory<Steps::kDecode>(mix, frames, module); });
  const double callback = best([&] { return RunInMemory<Steps::kCallback>(mix, frames, module); });
  return {frame, zero - frame, decode - zero, callback - decode};
}

}  // namespace bench
