// The mixed measurement reports that the streaming benchmarks send, and the module-side check of
// what the library makes of them.
#pragma once

#include <scanlink/scanlink.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// One cycle is five reports, one of each kind: a value list (36), a cell-record report (40), a
// TD cell report (0xF025), a sweep (73) and a TD profile report (0xF100).
constexpr size_t kReportKinds = 5;

struct ReportMix {
  std::vector<uint8_t> bytes;     // whole frames, back to back
  std::vector<size_t> frameEnds;  // offset just past each frame
  size_t Frames() const { return frameEnds.size(); }
  // Bytes of the first `frames` frames of the endlessly repeated mix.
  uint64_t BytesFor(uint64_t frames) const;
};

ReportMix BuildReportMix(size_t cycles);

// Writes the first `frames` frames of the endlessly repeated mix to fd; false if the socket failed.
bool SendReports(int fd, const ReportMix& mix, uint64_t frames);

// Checks each delivered report: known code, the count it was sent with, the payload length the
// decoder rewrites, and the last value of its last record. Call Check from ProcPcCommMsg.
class ReportCheck {
 public:
  void Check(const CCmdManage& m) { Check(m.nCode, m.nTransID, m.nLength, m.body); }
  // The same for a record as the C interface hands it over.
  void Check(uint16_t code, uint16_t trans, uint16_t length, const _CmdBody& body);
  // LastNs then tells when the report that made `frames` good ones arrived.
  void SetTarget(uint64_t frames) { target_.store(frames, std::memory_order_relaxed); }

  uint64_t Good() const { return good_.load(std::memory_order_acquire); }
  uint64_t Bad() const { return bad_.load(std::memory_order_relaxed); }
  uint64_t Other() const { return other_.load(std::memory_order_relaxed); }
  // When the target was reached; short of it, roughly when the latest good report arrived.
  uint64_t LastNs() const { return lastNs_.load(std::memory_order_relaxed); }
  // Blocks until at least `frames` good reports arrived, or until no report arrived for
  // stallMs; true in the first case.
  bool WaitFor(uint64_t frames, int stallMs) const;

 private:
  std::atomic<uint64_t> good_{0};
  std::atomic<uint64_t> bad_{0};
  std::atomic<uint64_t> other_{0};
  std::atomic<uint64_t> lastNs_{0};
  std::atomic<uint64_t> target_{0};
};

// Frames per second of a plain header-driven cutter over the mix in memory, repeated until it
// has cut `frames` frames: the cost of framing alone.
struct CutResult {
  uint64_t frames;
  uint64_t bytes;
  uint64_t ns;
};
CutResult CutInMemory(const ReportMix& mix, uint64_t frames);

// The same cutter fed by 64 KiB reads of a loopback TCP connection over which a peer thread
// streams the mix: what the platform delivers without the library.
CutResult CutFromSocket(const ReportMix& mix, uint64_t frames);

}  // namespace bench
