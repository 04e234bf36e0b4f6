// The live page while monitoring: the records as they arrive into the view, and its batches to
// the server at most every 100 ms.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "link_client.h"
#include "live_server.h"
#include "live_view.h"
#include "record_output.h"
#include "scanner_links.h"

namespace scanlink::cli {

class LivePage {
 public:
  // Listens at once: an address in use fails before the scanner is contacted.
  LivePage(const std::string& serve, const std::string& tiles, const OutputOptions& output);
  ~LivePage();
  void Event(const LinkEvent& e);
  // Asks client for the battery every so many seconds (0: never), for the page's battery field;
  // the replies pass through the output like any other.
  void AskBattery(CMyPcCommSocketClient* client, double seconds);
  // Sends what changed when its time has come; call it often.
  void Tick();
  std::string Url() const { return server_.Url(); }
  std::string Failed() const { return server_.Failed(); }

 private:
  LiveView view_;
  LiveServer server_;
  ScanlinkCounters start_{};
  int64_t lastUs_ = 0;
  CMyPcCommSocketClient* batteryClient_ = nullptr;
  int64_t batteryEveryUs_ = 0, batteryUs_ = 0;
};

// The live page of several scanners: a view per scanner, each fed only its own scanner's events,
// and one batch to the page per tick carrying every scanner's news under its own index.
class LiveScanners {
 public:
  // Listens at once, as LivePage.
  LiveScanners(const std::string& serve, const std::string& tiles, const OutputOptions& output,
               const ScannerLinks& links);
  void Event(size_t scanner, const LinkEvent& e) { views_[scanner].Event(e); }
  // Asks every scanner whose link is up for its battery every so many seconds (0: never).
  void AskBattery(double seconds) { batteryEveryUs_ = static_cast<int64_t>(seconds * 1e6); }
  void Tick();
  std::string Url() const { return server_.Url(); }
  std::string Failed() const { return server_.Failed(); }

  // The page's name of scanner i: A, B, ... Z, then 27, 28...
  static std::string Name(size_t i);

 private:
  struct View {
    LiveView view;
    void Event(const LinkEvent& e);
  };
  nlohmann::json Snapshot(int64_t nowUs) const;

  const ScannerLinks& links_;
  std::vector<View> views_;
  LiveServer server_;
  int64_t lastUs_ = 0;
  int64_t batteryEveryUs_ = 0, batteryUs_ = 0;
};

}  // namespace scanlink::cli
