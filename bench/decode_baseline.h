// The honest baseline of the throughput benchmark: one thread doing the work the API requires of
// every report and nothing more. It reads the socket the peer streams to (reads of 4096 bytes, as
// the library's listening thread makes), cuts frames with the library's framer, checks each
// header as dispatch does, constructs a zeroed CCmdManage, decodes the payload into it with the
// library's decoder (compiled into the benchmark from the same sources) and calls the module's
// ProcPcCommMsg. No queue, no second thread, no lock, no copy of the frame.
#pragma once

#include <scanlink/scanlink.h>

#include <cstdint>

#include "bench_support.h"
#include "report_mix.h"

namespace bench {

struct BaselineResult {
  uint64_t frames;       // reports that reached the callback
  uint64_t ns;           // wall time from the first byte sent to the last callback
  uint64_t readerCpuNs;  // CPU time of the reading thread
  uint64_t senderCpuNs;  // CPU time of the peer's sending thread
  CpuSplit reader;       // the reading thread's CPU time, user and kernel
};
BaselineResult DecodeFromSocket(const ReportMix& mix, uint64_t frames, CMyPcCommInterface& module);

// CPU time per report of each step of that work, measured in memory on one thread over the mix:
// each pass adds one step to the one before, and a step's cost is the difference.
struct StepCosts {
  double frame;     // cutting the frame out of the stream, header checks
  double zero;      // constructing the zeroed record
  double decode;    // decoding the payload into it
  double callback;  // the virtual call and the module's work
};
StepCosts MeasureSteps(const ReportMix& mix, uint64_t frames, CMyPcCommInterface& module);

// CPU time of the calling thread.
uint64_t ThreadCpuNs();

}  // namespace bench
