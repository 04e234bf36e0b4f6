// How soon a scanner that vanishes is reported lost, and how soon its return is reported. The
// peer's data connection loses every segment (an nftables rule, nothing closed, as when the
// scanner's battery runs out), the link being idle or with a request waiting for its
// acknowledgement; the time to status 1 is measured from the first lost segment's moment. The
// scanner comes back a few seconds after status 1 (reconnection attempts meanwhile), and the
// time to status 2 is measured from there. Needs nft and a private network namespace.
//
//   bench_vanish [--runs N] [--link-timeout MS] [--away MS]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "bench_support.h"

namespace {

// Records when each link status notice arrives.
class StatusModule : public CMyPcCommInterface {
 public:
  void ProcPcCommMsg(CCmdManage& m) override {
    if (m.nCode != SCANLINK_CODE_LINK_STATUS) return;
    std::lock_guard<std::mutex> lock(mutex_);
    notices_.push_back({m.body.linkStatus.nStatusByte1, bench::NowNs()});
    changed_.notify_all();
  }
  // The moment of the first notice with this status after index from, or 0 after timeoutMs.
  uint64_t WaitStatus(int status, size_t from, int timeoutMs) {
    std::unique_lock<std::mutex> lock(mutex_);
    uint64_t at = 0;
    changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
      for (size_t i = from; i < notices_.size(); ++i) {
        if (notices_[i].status == status) {
          at = notices_[i].ns;
          return true;
        }
      }
      return false;
    });
    return at;
  }
  size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return notices_.size();
  }

 private:
  struct Notice {
    int status;
    uint64_t ns;
  };
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Notice> notices_;
};

bool Nft(const std::string& args) {
  const std::string command = "PATH=\"$PATH:/usr/sbin:/sbin\" nft " + args + " >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

// Every segment to and from the peer's data port dropped while it lives.
class Drop {
 public:
  explicit Drop(uint16_t port) {
    const std::string p = std::to_string(port);
    ok_ = Nft("add table inet bench_vanish") &&
          Nft("'add chain inet bench_vanish out { type filter hook output priority 0; }'") &&
          Nft("add rule inet bench_vanish out tcp dport " + p + " drop") &&
          Nft("add rule inet bench_vanish out tcp sport " + p + " drop");
  }
  ~Drop() { Lift(); }
  bool Ok() const { return ok_; }
  void Lift() {
    if (ok_) Nft("delete table inet bench_vanish");
    ok_ = false;
  }

 private:
  bool ok_ = false;
};

double Median(std::vector<uint64_t> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : bench::Percentile(v, 0.5);
}

std::string Seconds(double ns) { return bench::Format("%.2f s", ns / 1e9); }

}  // namespace

int main(int argc, char** argv) {
  const long runs = std::max(1L, bench::FlagValue(argc, argv, "--runs", 5));
  const long timeoutMs = bench::FlagValue(argc, argv, "--link-timeout", 10000);
  const long awayMs = bench::FlagValue(argc, argv, "--away", 3000);
  if (ScanlinkSetLinkTimeout(static_cast<int>(timeoutMs)) != 1) {
    std::fprintf(stderr, "link timeout %ld ms refused\n", timeoutMs);
    return 1;
  }
  // The bound applications are promised: twice the link timeout (from the last answer, or from
  // a request sent just before an idle link's timeout ran out).
  const double boundNs = 2e6 * static_cast<double>(timeoutMs);

  bench::Peer peer;
  StatusModule module;
  CMyPcCommSocketClient client;
  int fd = -1;
  if (!bench::BringUp(client, module, peer, fd)) return 1;

  struct Series {
    const char* name;
    bool inFlight;
    std::vector<uint64_t> lost, back;
  };
  Series series[] = {{"idle", false, {}, {}}, {"request in flight", true, {}, {}}};
  int failures = 0;
  for (long run = 0; run < runs; ++run) {
    for (Series& s : series) {
      // A settled, answered link first.
      usleep(1000000);
      const size_t seen = module.Count();
      Drop drop(peer.DataPort());
      if (!drop.Ok()) {
        std::fprintf(stderr, "nft failed: run inside tests/netns-run, with nft installed\n");
        return 1;
      }
      const uint64_t vanished = bench::NowNs();
      if (s.inFlight && client.GetScanMode() == 0) ++failures;
      const uint64_t lost = module.WaitStatus(1, seen, static_cast<int>(timeoutMs) * 4);
      if (lost == 0) {
        std::fprintf(stderr, "%s run %ld: no loss reported\n", s.name, run);
        return 1;
      }
      s.lost.push_back(lost - vanished);
      // Back at varying moments of the attempts' SYN retransmissions.
      usleep(static_cast<useconds_t>(awayMs + (run * 777) % 2000) * 1000);
      const uint64_t returned = bench::NowNs();
      drop.Lift();
      const uint64_t back = module.WaitStatus(2, seen, 30000);
      if (back == 0) {
        std::fprintf(stderr, "%s run %ld: return not reported\n", s.name, run);
        return 1;
      }
      s.back.push_back(back > returned ? back - returned : 0);
      // The peer's end of the new connection; the old one is gone with the drop.
      close(fd);
      fd = peer.AcceptData(5000);
    }
  }
  if (fd >= 0) close(fd);

  std::printf("bench_vanish: %ld runs each, link timeout %ld ms, back %ld-%ld ms after status 1\n",
              runs, timeoutMs, awayMs, awayMs + 2000);
  std::printf("  %-40s %10s %10s %10s\n", "", "median", "min", "max");
  bool met = failures == 0;
  for (Series& s : series) {
    std::sort(s.lost.begin(), s.lost.end());
    std::sort(s.back.begin(), s.back.end());
    std::printf("  %-40s %10s %10s %10s\n", (std::string("vanish -> status 1, ") + s.name).c_str(),
                Seconds(Median(s.lost)).c_str(),
                Seconds(static_cast<double>(s.lost.front())).c_str(),
                Seconds(static_cast<double>(s.lost.back())).c_str());
    std::printf("  %-40s %10s %10s %10s\n", (std::string("return -> status 2, ") + s.name).c_str(),
                Seconds(Median(s.back)).c_str(),
                Seconds(static_cast<double>(s.back.front())).c_str(),
                Seconds(static_cast<double>(s.back.back())).c_str());
    met = met && static_cast<double>(s.lost.back()) <= boundNs;
  }
  if (failures > 0) std::printf("  failures: %d\n", failures);

  const std::string bound = Seconds(boundNs);
  for (const Series& s : series) {
    const bool within = static_cast<double>(s.lost.back()) <= boundNs;
    bench::PrintFigure("vanish", bench::Format("vanish -> status 1 (%s), median", s.name).c_str(),
                       Seconds(Median(s.lost)),
                       bench::Format("link timeout %.1f s", static_cast<double>(timeoutMs) / 1000),
                       "<= " + bound + " (max " + Seconds(static_cast<double>(s.lost.back())) + ")",
                       within && failures == 0 ? "yes" : "no");
  }
  for (const Series& s : series) {
    bench::PrintFigure("vanish", bench::Format("return -> status 2 (%s), median", s.name).c_str(),
                       Seconds(Median(s.back)), "-",
                       "max " + Seconds(static_cast<double>(s.back.back())), "info");
  }
  client.ClientRegisterModule(&module, 0);
  return met ? 0 : 1;
}
