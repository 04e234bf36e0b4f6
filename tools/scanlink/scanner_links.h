// Several scanners at once, one session of the C interface each. What they deliver comes
// through one queue, each event marked with its scanner, so the tool's main thread prints and
// decides while the sessions' threads only copy and wake it.
#pragma once

#include <scanlink/scanlink_c.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link_client.h"

namespace scanlink::cli {

struct ScannerAddress {
  std::string host;
  int port = 5000;
  std::string Label() const { return host + ":" + std::to_string(port); }
};

// "A.B.C.D" or "A.B.C.D:PORT" (the port then overrides defaultPort); nothing when malformed.
std::optional<ScannerAddress> ParseScannerAddress(const std::string& text, int defaultPort);

struct ScannerEvent {
  size_t scanner;
  LinkEvent event;
};

class ScannerLinks {
 public:
  using Clock = std::chrono::steady_clock;

  // Opens one session per address, none connected yet; throws CliError(kExitFailure) when the
  // library refuses one.
  explicit ScannerLinks(const std::vector<ScannerAddress>& addresses);
  ~ScannerLinks();
  ScannerLinks(const ScannerLinks&) = delete;
  ScannerLinks& operator=(const ScannerLinks&) = delete;

  size_t size() const { return scanners_.size(); }
  scanlink_session* session(size_t i) const { return scanners_[i]->session; }
  const std::string& label(size_t i) const { return scanners_[i]->label; }
  scanlink_state State(size_t i) const;

  // Brings scanner i's link up; empty on success, else why not.
  std::string Connect(size_t i);
  // The next event of any scanner, or nothing once the deadline passes.
  std::optional<ScannerEvent> Next(Clock::time_point deadline);
  // Stops every session's threads and frees them; safe to call twice.
  void Close();

 private:
  struct Scanner {
    ScannerLinks* owner;
    size_t index;
    scanlink_session* session;
    std::string label;
  };
  static void SCANLINK_CALL OnRecord(void* context, const scanlink_record* record);
  static void SCANLINK_CALL OnLink(void* context, int event);
  void Push(size_t scanner, LinkEvent event);

  std::vector<std::unique_ptr<Scanner>> scanners_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<ScannerEvent> queue_;
};

}  // namespace scanlink::cli
