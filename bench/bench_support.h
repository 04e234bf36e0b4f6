// Shared pieces of the benchmark programs: a scanner stand-in on loopback, clocks, process
// figures and the result lines that scripts/figures.sh collects.
//
// Every program prints its own readable report, then one line per figure:
//   figure|<benchmark>|<figure>|<value>|<baseline>|<goal>|<met: yes, no or info>
#pragma once

#include <scanlink/scanlink.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "codec/frame_header.h"

namespace bench {

// ---- clocks and process figures ----------------------------------------------------------

uint64_t NowNs();         // monotonic
uint64_t ProcessCpuNs();  // CPU time of every thread of the process
// CPU time split into user and kernel time, of the process or of the calling thread.
struct CpuSplit {
  uint64_t userNs = 0;
  uint64_t systemNs = 0;
  CpuSplit operator-(const CpuSplit& o) const { return {userNs - o.userNs, systemNs - o.systemNs}; }
};
CpuSplit ProcessCpuSplit();
CpuSplit ThreadCpuSplit();
long StatusKib(const char* field);  // a "kB" line of /proc/self/status, e.g. "VmRSS"; -1 if absent
uint64_t ContextSwitches();         // voluntary + involuntary, summed over the process's threads

// ---- command line ------------------------------------------------------------------------

// "--name=value" or "--name value"; the default when absent. Exits on a malformed value.
long FlagValue(int argc, char** argv, const char* name, long fallback);
bool HasFlag(int argc, char** argv, const char* name);

// ---- results -----------------------------------------------------------------------------

void PrintFigure(const char* benchmark, const char* figure, const std::string& value,
                 const std::string& baseline, const std::string& goal, const char* met);
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Micros(double ns);  // "12.3 us"
double Percentile(const std::vector<uint64_t>& sorted, double p);

// ---- sockets -----------------------------------------------------------------------------

bool WriteAll(int fd, const void* data, size_t size);
bool ReadExact(int fd, void* data, size_t size);
void SetNoDelay(int fd);
// Both ends of a fresh loopback TCP connection; false (with the reason printed) if it failed.
bool LoopbackPair(int& connecting, int& accepted);

// Plays the scanner's side of the link: a data listener on an ephemeral loopback port and an
// alarm listener on the fixed port 8050. Alarm connections are accepted and drained on a thread
// of its own; data connections are handed to whoever serves them.
class Peer {
 public:
  // Data listener on dataPort (0: any free port). Exits the process when a listener cannot be
  // opened.
  explicit Peer(uint16_t dataPort = 0);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  uint16_t DataPort() const { return dataPort_; }
  // The next data connection (blocking, TCP_NODELAY, sends time out after 10 s), or -1 after
  // timeoutMs.
  int AcceptData(int timeoutMs);

 private:
  void AlarmLoop();

  int dataListen_ = -1;
  int alarmListen_ = -1;
  int stopFd_ = -1;
  uint16_t dataPort_ = 0;
  std::thread alarmThread_;
};

// Points the library at the peer, registers the module and brings the link up; on success the
// peer's end of the data connection is returned in dataFd. Prints the reason and returns false
// otherwise.
bool BringUp(CMyPcCommSocketClient& client, CMyPcCommInterface& module, Peer& peer, int& dataFd);

// Counter deltas over a stretch of a run.
ScanlinkCounters CountersNow();
ScanlinkCounters CountersSince(const ScanlinkCounters& before);

// ---- frames ------------------------------------------------------------------------------

// The frame header as the library reads and writes it.
using scanlink::codec::FrameHeader;
using scanlink::codec::kHeaderSize;
using scanlink::codec::kMaxFrame;
using scanlink::codec::kMaxPayload;
using scanlink::codec::kSync;
using scanlink::codec::read_header;
using scanlink::codec::write_header;
inline constexpr uint16_t kBroadcast = scanlink::codec::kBroadcastTrans;

void PutU16(std::vector<uint8_t>& out, uint16_t v);
void PutU32(std::vector<uint8_t>& out, uint32_t v);
// Appends a whole frame: header, then payload.
void AppendFrame(std::vector<uint8_t>& out, uint8_t moduleId, uint16_t code, uint16_t trans,
                 const std::vector<uint8_t>& payload);

}  // namespace bench
