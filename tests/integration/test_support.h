// Helpers shared by the integration tests: a module that records what reaches it, an ICMP
// sniffer and a bounded wait.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "scanlink/scanlink.h"

namespace scanlink::test {

struct Received {
  uint16_t code;
  uint16_t trans;
  uint16_t length;
  uint8_t linkStatus;  // body byte 1 of a link status notice
  uint32_t family;     // body of a code-44 reply
};

// Records every callback; waits are bounded.
class RecordingModule : public CMyPcCommInterface {
 public:
  void ConnectMsg(bool connected) override;
  void ProcPcCommMsg(CCmdManage& m) override;
  void ProcPcCommMsgAlarm(char* data, int length) override;

  // An event log of "status N", "connect 0/1" in arrival order.
  std::vector<std::string> Events();
  std::vector<Received> Messages();
  std::vector<uint8_t> Alarm();
  bool WaitEvents(size_t n, std::chrono::milliseconds timeout);
  bool WaitMessages(size_t n, std::chrono::milliseconds timeout);
  bool WaitAlarm(size_t n, std::chrono::milliseconds timeout);
  // Runs inside ProcPcCommMsg, with the library lock held.
  std::function<void(CCmdManage&)> onMessage;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> events_;
  std::vector<Received> messages_;
  std::vector<uint8_t> alarm_;
};

// Counts ICMP echo requests sent to 127.0.0.1 while it lives (needs a raw socket).
class EchoRequestCounter {
 public:
  EchoRequestCounter();
  ~EchoRequestCounter();
  bool Ok() const { return fd_ >= 0; }
  int Count();

 private:
  intptr_t fd_ = -1;
};

// Makes this network namespace ignore pings.
bool IgnorePings();
// Caps this network namespace's TCP buffers at 64 KiB, so a peer that stops reading fills
// them after a few dozen frames.
bool LimitTcpBuffers();
// Gives loopback an Ethernet MTU and one segment per packet, so windows open as on a real link
// (not in steps of loopback's 64 KiB packets); false where that cannot be set.
bool EthernetLoopback();

// Makes the SYNs of new connections to a port vanish in this network namespace while it lives
// (an nftables rule), as on a radio link that loses them. Counts the SYNs it dropped.
class SynDrop {
 public:
  explicit SynDrop(uint16_t port);
  ~SynDrop() { Lift(); }
  SynDrop(const SynDrop&) = delete;
  SynDrop& operator=(const SynDrop&) = delete;
  bool Ok() const { return ok_; }
  int Dropped() const;
  void Lift();

 private:
  std::string table_;
  bool ok_ = false;
};

// Makes every TCP segment to and from a port vanish in this network namespace while it lives
// (an nftables rule), as when the scanner loses power or leaves radio range: nothing is closed.
class SegmentDrop {
 public:
  explicit SegmentDrop(uint16_t port);
  ~SegmentDrop() { Lift(); }
  SegmentDrop(const SegmentDrop&) = delete;
  SegmentDrop& operator=(const SegmentDrop&) = delete;
  bool Ok() const { return ok_; }
  void Lift();

 private:
  std::string table_;
  bool ok_ = false;
};

// Entries of /proc/self/fd and /proc/self/task.
int OpenDescriptors();
int Threads();
// CPU time this process has used, user and system, in milliseconds.
long ProcessCpuMs();

// Waits until pred holds, polling every few milliseconds; false after timeout.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout);

// The link works when a request through client gets its reply at module (the peer echoes
// requests): tries until timeout.
bool RoundTrip(CMyPcCommSocketClient& client, RecordingModule& module,
               std::chrono::milliseconds timeout);

// Resets the exported variables to their load-time values.
void ResetGlobals();
// The same, then points the library at 127.0.0.1:port.
void AimAtLocalPeer(uint16_t port);

}  // namespace scanlink::test
