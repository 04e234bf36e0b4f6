#include "integration/test_support.h"

#include <cstdio>
#include <cstring>

#include "integration/net_compat.h"

namespace scanlink::test {

void RecordingModule::ConnectMsg(bool connected) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(connected ? "connect 1" : "connect 0");
  }
  changed_.notify_all();
}

void RecordingModule::ProcPcCommMsg(CCmdManage& m) {
  Received r{m.nCode, m.nTransID, m.nLength, 0, 0};
  if (m.nCode == SCANLINK_CODE_LINK_STATUS) r.linkStatus = m.body.linkStatus.nStatusByte1;
  if (m.nCode == 44) r.family = m.body.family.nFamilyValue;
  if (onMessage) onMessage(m);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (m.nCode == SCANLINK_CODE_LINK_STATUS) {
      events_.push_back("status " + std::to_string(r.linkStatus));
    }
    messages_.push_back(r);
  }
  changed_.notify_all();
}

void RecordingModule::ProcPcCommMsgAlarm(char* data, int length) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    alarm_.insert(alarm_.end(), data, data + length);
  }
  changed_.notify_all();
}

std::vector<std::string> RecordingModule::Events() {
  std::lock_guard<std::mutex> lock(mutex_);
  return events_;
}

std::vector<Received> RecordingModule::Messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

std::vector<uint8_t> RecordingModule::Alarm() {
  std::lock_guard<std::mutex> lock(mutex_);
  return alarm_;
}

bool RecordingModule::WaitEvents(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return events_.size() >= n; });
}

bool RecordingModule::WaitMessages(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return messages_.size() >= n; });
}

bool RecordingModule::WaitAlarm(size_t n, std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return alarm_.size() >= n; });
}

EchoRequestCounter::EchoRequestCounter() {
  if (!net::Start()) return;
  const net::Socket s = net::NewSocket(SOCK_RAW, IPPROTO_ICMP);
  if (!net::Valid(s)) return;
  if (!net::SetNonBlocking(s)) {
    net::Close(s);
    return;
  }
  fd_ = net::ToHandle(s);
}

EchoRequestCounter::~EchoRequestCounter() {
  if (fd_ >= 0) net::Close(net::FromHandle(fd_));
}

int EchoRequestCounter::Count() {
  int count = 0;
  uint8_t buf[2048];
  for (;;) {
    const long n = net::Recv(net::FromHandle(fd_), buf, sizeof buf);
    if (n <= 0) break;
    const size_t ihl = static_cast<size_t>(buf[0] & 0x0F) * 4;
    if (static_cast<size_t>(n) > ihl && buf[ihl] == 8) ++count;
  }
  return count;
}

static bool WriteSysctl(const char* path, const char* value) {
  FILE* f = std::fopen(path, "wb");  // no CR added where text mode would
  if (f == nullptr) return false;
  const bool ok = std::fputs(value, f) >= 0;
  return std::fclose(f) == 0 && ok;
}

bool IgnorePings() { return WriteSysctl("/proc/sys/net/ipv4/icmp_echo_ignore_all", "1\n"); }

bool LimitTcpBuffers() {
  return WriteSysctl("/proc/sys/net/ipv4/tcp_wmem", "4096 16384 65536\n") &&
         WriteSysctl("/proc/sys/net/ipv4/tcp_rmem", "4096 16384 65536\n");
}

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

void ResetGlobals() {
  gHostAddr[0] = '\0';
  nTcpPort = 0;
  nTcpPortAlarm = 0;
  gFirstConnFlag = 0;
  gInitFinishFlag = 0;
  gLinkDownFlag = 0;
  nScannerType = 0;
  TDorWCDMAConfig = 1;
  FingerTestFlag = 0;
}

void AimAtLocalPeer(uint16_t port) {
  ResetGlobals();
  std::strcpy(gHostAddr, "127.0.0.1");
  nTcpPort = port;
}

}  // namespace scanlink::test
