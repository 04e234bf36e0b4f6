#include "integration/test_support.h"

#if defined(_WIN32)
// windows.h first.
// clang-format off
#include <windows.h>
#include <tlhelp32.h>
// clang-format on
#else
#include <dirent.h>
#include <sys/resource.h>
#endif

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

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

#if defined(_WIN32)
// nftables is Linux tooling: under Windows no SYN is ever dropped, and Ok() says so.
SynDrop::SynDrop(uint16_t port) : table_("scanlink_syn_" + std::to_string(port)) {}
int SynDrop::Dropped() const { return 0; }
void SynDrop::Lift() {}
SegmentDrop::SegmentDrop(uint16_t port) : table_("scanlink_all_" + std::to_string(port)) {}
void SegmentDrop::Lift() {}

int OpenDescriptors() {
  DWORD n = 0;
  GetProcessHandleCount(GetCurrentProcess(), &n);
  return static_cast<int>(n);
}

int Threads() {
  int n = 0;
  HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 t{};
  t.dwSize = sizeof t;
  for (BOOL ok = Thread32First(snap, &t); ok; ok = Thread32Next(snap, &t)) {
    n += t.th32OwnerProcessID == GetCurrentProcessId();
  }
  CloseHandle(snap);
  return n;
}

long ProcessCpuMs() {
  FILETIME created, exited, kernel, user;
  if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) return 0;
  auto ms = [](const FILETIME& f) {
    return static_cast<long>(((static_cast<uint64_t>(f.dwHighDateTime) << 32) | f.dwLowDateTime) /
                             10000);
  };
  return ms(kernel) + ms(user);
}

bool EthernetLoopback() { return false; }  // the system's loopback is what it is
#else
bool EthernetLoopback() {
  return std::system("PATH=\"$PATH:/usr/sbin:/sbin\" ip link set lo mtu 1500 gso_max_segs 1") == 0;
}

// Runs an nft command; its output, or nullopt when it failed.
static std::optional<std::string> Nft(const std::string& args) {
  const std::string command = "PATH=\"$PATH:/usr/sbin:/sbin\" nft " + args + " 2>&1";
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) return std::nullopt;
  std::string out;
  char buf[256];
  while (std::fgets(buf, sizeof buf, p) != nullptr) out += buf;
  if (pclose(p) != 0) return std::nullopt;
  return out;
}

SynDrop::SynDrop(uint16_t port) : table_("scanlink_syn_" + std::to_string(port)) {
  const std::string chain = "inet " + table_ + " out";
  ok_ = Nft("add table inet " + table_) &&
        Nft("'add chain " + chain + " { type filter hook output priority 0; policy accept; }'") &&
        Nft("add rule " + chain + " tcp dport " + std::to_string(port) +
            " 'tcp flags & (syn | ack) == syn' counter drop");
}

int SynDrop::Dropped() const {
  if (!ok_) return 0;
  const auto out = Nft("list chain inet " + table_ + " out");
  if (!out) return 0;
  const size_t at = out->find("packets ");
  return at == std::string::npos ? 0 : std::atoi(out->c_str() + at + 8);
}

void SynDrop::Lift() {
  if (ok_) Nft("delete table inet " + table_);
  ok_ = false;
}

SegmentDrop::SegmentDrop(uint16_t port) : table_("scanlink_all_" + std::to_string(port)) {
  // Both ends live in this namespace: each direction leaves through the output hook.
  const std::string chain = "inet " + table_ + " out";
  const std::string p = std::to_string(port);
  ok_ = Nft("add table inet " + table_) &&
        Nft("'add chain " + chain + " { type filter hook output priority 0; policy accept; }'") &&
        Nft("add rule " + chain + " tcp dport " + p + " drop") &&
        Nft("add rule " + chain + " tcp sport " + p + " drop");
}

void SegmentDrop::Lift() {
  if (ok_) Nft("delete table inet " + table_);
  ok_ = false;
}

static int CountEntries(const char* dir) {
  int n = 0;
  if (DIR* d = opendir(dir)) {
    while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
    closedir(d);
  }
  return n;
}

// Less the descriptor opendir itself holds while counting.
int OpenDescriptors() { return CountEntries("/proc/self/fd") - 1; }
int Threads() { return CountEntries("/proc/self/task"); }

long ProcessCpuMs() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L +
         (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000L;
}

#endif

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!pred()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

bool RoundTrip(CMyPcCommSocketClient& client, RecordingModule& module,
               std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const size_t before = module.Messages().size();
    const int t = client.GetScanMode();
    if (t != 0 && WaitUntil(
                      [&] {
                        auto m = module.Messages();
                        for (size_t i = before; i < m.size(); ++i) {
                          if (m[i].code == 11 && m[i].trans == t) return true;
                        }
                        return false;
                      },
                      std::chrono::milliseconds(200))) {
      return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
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
